// MIDI learn on a playing patch's panel in chromium: `kvhost play PATCH --panel 0 --name
// learnplay` on the JACK server the calling test started. The page arms learn on a knob and
// leaves the file `armed` in KV_LEARN_DIR; the calling test then sends controller 21 (value 64)
// from a JACK client of its own into learnplay:midi_in. The mapping shows on the page, the pin
// moves to 64/127 of its range, `save` writes it, and the page's remove button takes it away.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {launchChromium, startPanel, stopPanel} from './harness.mjs';

const tool = process.env.KVHOST_TOOL;
const patch = process.env.KV_PLAY_PATCH;
const dir = process.env.KV_LEARN_DIR;
const shots = process.env.KV_PANEL_SHOTS || join(tmpdir(), 'kv-panel-shots');
assert.ok(tool && patch && dir, 'run through panel_play_tests (KVHOST_TOOL, KV_PLAY_PATCH, KV_LEARN_DIR)');

const until = async (what, check, ms = 20000) => {
  const end = Date.now() + ms;
  while (Date.now() < end) {
    if (await check()) return;
    await new Promise((r) => setTimeout(r, 50));
  }
  assert.fail(`timed out waiting for ${what}`);
};

test('a knob learns the controller that arrives, and save keeps the mapping', async () => {
  mkdirSync(shots, {recursive: true});
  const profile = mkdtempSync(join(tmpdir(), 'kv-learn-profile-'));
  const run = await startPanel(tool, ['play', patch, '--name', 'learnplay'], {stdin: 'pipe'});
  let browser;
  try {
    browser = await launchChromium(profile);
    const page = await browser.newPage();
    const problems = [];
    // Errors of the page's own code, and files it asks for that the panel lacks (the
    // browser's own favicon request aside).
    page.on('console', (m) => {
      if (m.type() === 'error' && !m.text().startsWith('Failed to load resource')) problems.push(m.text());
    });
    page.on('response', (r) => {
      if (r.status() >= 400 && !r.url().endsWith('/favicon.ico')) problems.push(`${r.status()} ${r.url()}`);
    });
    page.on('pageerror', (e) => problems.push(String(e)));
    await page.goto(run.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    assert.equal(await page.$eval('#midi-map', (s) => s.hidden), false, 'the mappings show under play');
    // Learn is offered where a controller may drive the pin: not on a wired or output pin.
    const offered = await page.$$eval('button.learn', (bs) => bs.map((b) => b.getAttribute('aria-label')));
    assert.ok(offered.includes('learn a MIDI controller for OP2 Pitch'), offered.join(', '));
    assert.ok(!offered.includes('learn a MIDI controller for OP1 Pitch'), 'OP1 Pitch is wired');
    const button = 'button.learn[aria-label="learn a MIDI controller for OP2 Pitch"]';
    const field = await page.$eval(button, (b) => b.closest('tr').dataset.pin);
    const value = () => page.$eval(`tr[data-module="osc"][data-pin="${field}"] input`, (i) => i.value);

    await page.click(button);
    await page.waitForSelector(`${button}.armed`);
    writeFileSync(join(dir, 'armed'), '');
    await until('the learned mapping on the page',
                async () => (await page.$$('#midi-map-list li')).length === 1);
    assert.match(await page.$eval('#midi-map-list li', (li) => li.textContent),
                 /^CC 21 ch 1 → osc\.OP2 Pitch \(0 to 10\)/);
    assert.equal(await page.$eval(button, (b) => b.classList.contains('armed')), false);
    // The controller that was learned moved the pin: 64/127 of 0 to 10 V.
    await until('the pin at the controller\'s value',
                async () => Math.abs(Number(await value()) - 64 / 127 * 10) < 1e-5);
    await page.screenshot({path: join(shots, 'panel-learn.png')});

    const saved = join(dir, 'learned.json');
    run.child.stdin.write(`save ${saved}\n`);
    await until('the saved patch', async () => existsSync(saved) && run.stdout().includes(`saved ${saved}`));
    assert.deepEqual(JSON.parse(readFileSync(saved, 'utf8')).midi_map,
                     [{cc: 21, channel: 1, pin: 'osc.OP2 Pitch', min: 0, max: 10}]);

    await page.click('#midi-map-list li button.unmap');
    await until('the mapping removed', async () => (await page.$$('#midi-map-list li')).length === 0);
    run.child.stdin.write('maps\n');
    await until('no mappings left', async () => run.stdout().includes('no mappings'));
    assert.deepEqual(problems, []);
    await page.close();
  } finally {
    if (browser) await browser.close().catch(() => {});
    rmSync(profile, {recursive: true, force: true});
    assert.equal(await stopPanel(run), 0, `kvhost play --panel did not end cleanly on Ctrl-C: ${run.stderr()}`);
  }
});
