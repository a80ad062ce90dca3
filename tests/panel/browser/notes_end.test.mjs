// Notes always end: under `kvhost play PATCH --panel 0 --record FILE` (on the JACK server the
// calling test started), a key held while the page reloads, a key held while the keyboard
// moves an octave, and a chord held while panic is pressed. The caller checks the recording.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {spawn} from 'node:child_process';
import {mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import puppeteer from 'puppeteer-core';

const tool = process.env.KVHOST_TOOL;
const patch = process.env.KV_PLAY_PATCH;
const record = process.env.KV_PLAY_RECORD;
assert.ok(tool && patch && record, 'run through panel_play_tests (KVHOST_TOOL, KV_PLAY_PATCH, KV_PLAY_RECORD)');

const pause = (ms) => new Promise((r) => setTimeout(r, ms));

test('held notes end when the page goes, the octave changes or panic is pressed', async () => {
  const child = spawn(tool, ['play', patch, '--panel', '0', '--record', record],
                      {stdio: ['ignore', 'pipe', 'pipe']});
  let err = '';
  child.stderr.on('data', (d) => { err += d; });
  const ended = new Promise((resolve) => child.once('exit', (code) => resolve(code)));
  const profile = mkdtempSync(join(tmpdir(), 'kv-notes-profile-'));
  let browser;
  try {
    const url = await new Promise((resolve, reject) => {
      let out = '';
      const timer = setTimeout(() => reject(new Error(`kvhost play --panel did not start: ${err}`)), 15000);
      child.stdout.on('data', (d) => {
        out += d;
        const m = /kvhost panel: (http:\/\/\S+)/.exec(out);
        if (m) { clearTimeout(timer); resolve(m[1]); }
      });
      child.once('exit', (code) => { clearTimeout(timer); reject(new Error(`kvhost play ended (${code}): ${err}`)); });
    });
    browser = await puppeteer.launch({
      executablePath: '/usr/bin/chromium',
      headless: true,
      args: ['--headless', '--no-sandbox', '--disable-gpu', '--no-first-run',
             '--disable-background-networking', '--disable-component-update', '--disable-sync',
             `--user-data-dir=${profile}`],
      defaultViewport: {width: 1280, height: 900},
    });
    const page = await browser.newPage();
    const ready = () => page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    const press = async (key) => {
      const box = await (await page.$(`.key[data-key="${key}"]`)).boundingBox();
      await page.mouse.move(box.x + box.width / 2, box.y + box.height - 8);
      await page.mouse.down();
    };
    await page.goto(url, {waitUntil: 'load'});
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
    if (child.exitCode === null) child.kill('SIGINT');
    const timer = setTimeout(() => child.kill('SIGKILL'), 10000);
    const code = await ended;
    clearTimeout(timer);
    assert.equal(code, 0, `kvhost play --panel did not end cleanly on Ctrl-C: ${err}`);
  }
});
