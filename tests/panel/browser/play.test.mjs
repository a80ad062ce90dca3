// A playing patch's panel in chromium: `kvhost play PATCH --panel 0 --record FILE` on the JACK
// server the calling test started (JACK_DEFAULT_SERVER), three on-screen keys played one after
// another, the page's read-outs, scope and fundamental followed. The caller checks the recording.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {launchChromium, startPanel, stopPanel} from './harness.mjs';

const tool = process.env.KVHOST_TOOL;
const patch = process.env.KV_PLAY_PATCH;
const record = process.env.KV_PLAY_RECORD;
const shots = process.env.KV_PANEL_SHOTS || join(tmpdir(), 'kv-panel-shots');
assert.ok(tool && patch && record, 'run through panel_play_tests (KVHOST_TOOL, KV_PLAY_PATCH, KV_PLAY_RECORD)');

test('three keys played on the page sound at their pitches', async () => {
  mkdirSync(shots, {recursive: true});
  const profile = mkdtempSync(join(tmpdir(), 'kv-play-profile-'));
  const run = await startPanel(tool, ['play', patch, '--record', record]);
  let browser;
  try {
    browser = await launchChromium(profile);
    const page = await browser.newPage();
    await page.goto(run.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    assert.equal(await page.$eval('#keys', (k) => k.hidden), false, 'the keyboard shows for the live MIDI input');
    // The converter's read-outs (its Pitch and Gate outputs, in volts).
    const readouts = () => page.$$eval('tr[data-module="keys"] output', (os) => os.map((o) => o.textContent).join(' '));
    const before = await readouts();
    let during = '';

    const names = {60: 'C4', 64: 'E4', 67: 'G4'};
    for (const key of [60, 64, 67]) {
      const box = await (await page.$(`.key[data-key="${key}"]`)).boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height - 8);
      await page.mouse.down();
      await page.waitForFunction((name) => new RegExp(`\\(${name} `).test(document.getElementById('fundamental').textContent),
                                 {timeout: 5000}, names[key])
        .catch(async () => assert.fail(`key ${key}: the page shows ${await page.$eval('#fundamental', (f) => f.textContent)}`));
      await new Promise((r) => setTimeout(r, 150));  // read-outs within 100 ms; a longer note
      if (key === 64) {
        during = await readouts();
        await page.screenshot({path: join(shots, 'panel-play.png')});
      }
      await page.mouse.up();
      await new Promise((r) => setTimeout(r, 250));  // the voice falls silent between keys
    }
    assert.notEqual(during, before, `the converter's read-outs follow the keys: ${before} | ${during}`);
    // The scope draws the sound.
    const lit = await page.$eval('tr[data-module="osc"] canvas', (c) => {
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let n = 0;
      for (let i = 3; i < d.length; i += 4) n += d[i] > 0 ? 1 : 0;
      return n;
    });
    assert.ok(lit > 100, 'the scope of osc.Output draws');
    await page.close();
  } finally {
    if (browser) await browser.close().catch(() => {});
    rmSync(profile, {recursive: true, force: true});
    assert.equal(await stopPanel(run), 0, `kvhost play --panel did not end cleanly on Ctrl-C: ${run.stderr()}`);
  }
});
