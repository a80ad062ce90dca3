// Notes always end: under `kvhost play PATCH --panel 0 --record FILE` (on the JACK server the
// calling test started), a key held while the page reloads, a key held while the keyboard
// moves an octave, and a chord held while panic is pressed. The caller checks the recording.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {launchChromium, startPanel, stopPanel} from './harness.mjs';

const tool = process.env.KVHOST_TOOL;
const patch = process.env.KV_PLAY_PATCH;
const record = process.env.KV_PLAY_RECORD;
assert.ok(tool && patch && record, 'run through panel_play_tests (KVHOST_TOOL, KV_PLAY_PATCH, KV_PLAY_RECORD)');

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

test('held notes end when the page goes, the octave changes or panic is pressed', async () => {
  const profile = mkdtempSync(join(tmpdir(), 'kv-notes-profile-'));
  const run = await startPanel(tool, ['play', patch, '--record', record]);
  let browser;
  try {
    browser = await launchChromium(profile);
    const page = await browser.newPage();
    const ready = () => page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    const press = async (key) => {
      const box = await (await page.$(`.key[data-key="${key}"]`)).boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height - 8);
      await page.mouse.down();
    };
    await page.goto(run.url, {waitUntil: 'load'});
    await ready();
    await pause(300);

    // A key held while the page reloads: its socket closes, the server ends the note.
    await press(60);
    await pause(500);
    await page.reload({waitUntil: 'load'});
    await ready();
    await page.mouse.up();
    await pause(800);

    // A key held while the keyboard moves up an octave: the key is let go as it is rebuilt.
    await press(64);
    await pause(300);
    await page.keyboard.press('x');
    await pause(500);
    await page.mouse.move(5, 5);
    await page.mouse.up();
    await pause(800);

    // A chord from the computer keys, then panic.
    await page.keyboard.press('z');  // back to the octave the keys were in
    for (const k of ['a', 'd', 'g']) await page.keyboard.down(k);
    await pause(400);
    await page.$eval('#panic', (b) => b.click());
    await pause(800);
    for (const k of ['a', 'd', 'g']) await page.keyboard.up(k);
    await pause(300);
    await page.close();
  } finally {
    if (browser) await browser.close().catch(() => {});
    rmSync(profile, {recursive: true, force: true});
    assert.equal(await stopPanel(run), 0, `kvhost play --panel did not end cleanly on Ctrl-C: ${run.stderr()}`);
  }
});
