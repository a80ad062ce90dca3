// The panel's page in a real browser: Debian's chromium, headless, driven by puppeteer-core.
// Each test starts `kvhost panel` on a free port and stops it by its pid, also when it fails.
import {after, before, describe, test} from 'node:test';
import assert from 'node:assert/strict';
import {launchChromium, startPanel, stopPanel} from './harness.mjs';
import {mkdirSync, mkdtempSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';

const tool = process.env.KVHOST_TOOL;
const patches = process.env.KV_PANEL_PATCHES;
const examples = process.env.KV_EXAMPLES;
const fakeEngine = process.env.KV_PANEL_FAKE_ENGINE;
const shots = process.env.KV_PANEL_SHOTS || join(tmpdir(), 'kv-panel-shots');
assert.ok(tool && patches && examples && fakeEngine,
          'run through ctest (KVHOST_TOOL, KV_PANEL_PATCHES, KV_EXAMPLES, KV_PANEL_FAKE_ENGINE)');

const field = (module, pin) => `tr[data-module="${module}"][data-pin="${pin}"] .control`;
const valueOf = (page, module, pin) =>
  page.$eval(`tr[data-module="${module}"][data-pin="${pin}"] .value`, (td) => {
    const c = td.querySelector('input, select, output');
    return c.value !== undefined && c.tagName !== 'OUTPUT' ? c.value : c.textContent;
  });

async function waitForValue(page, module, pin, expected) {
  await page.waitForFunction((sel, want) => {
    const c = document.querySelector(sel);
    if (!c) return false;
    const v = c.tagName === 'OUTPUT' ? c.textContent : c.value;
    return v === want;
  }, {timeout: 5000}, `tr[data-module="${module}"][data-pin="${pin}"] .value :is(input, select, output)`,
  expected).catch(async () => {
    assert.fail(`${module} #${pin} shows ${JSON.stringify(await valueOf(page, module, pin))}, not ${JSON.stringify(expected)}`);
  });
}

async function typeInto(page, module, pin, text) {
  const selector = field(module, pin);
  await page.bringToFront();  // a background tab takes no clicks
  await page.click(selector, {clickCount: 3});
  await page.keyboard.press('Backspace');
  await page.type(selector, text);
  await page.keyboard.press('Enter');
}

describe('kvhost panel in chromium', () => {
  let browser;
  let profile;
  let panel;
  let example;
  let fake;

  before(async () => {
    mkdirSync(shots, {recursive: true});
    profile = mkdtempSync(join(tmpdir(), 'kv-panel-profile-'));
    browser = await launchChromium(profile);
    panel = await startPanel(tool, ['panel', join(patches, 'lists.json')]);
    example = await startPanel(tool, ['panel', join(examples, 'panel.json')]);
    fake = await startPanel(fakeEngine, []);
  });

  after(async () => {
    try {
      if (browser) {
        const pid = browser.process()?.pid;
        await browser.close().catch(() => { if (pid) process.kill(pid, 'SIGKILL'); });
      }
    } finally {
      const ends = [];
      for (const p of [panel, example, fake]) {
        if (p) ends.push([await stopPanel(p), p.stderr()]);
      }
      if (profile) rmSync(profile, {recursive: true, force: true});
      for (const [code, stderr] of ends) {
        assert.equal(code, 0, `kvhost panel did not end cleanly on Ctrl-C: ${stderr}`);
      }
    }
  });

  test('the text pin fills the number fields, and the reverse', async () => {
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    page.on('requestfailed', (r) => errors.push(`request failed: ${r.url()}`));
    await page.goto(panel.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    const cards = await page.$$eval('section.card', (s) => s.map((c) => c.dataset.module));
    assert.deepEqual(cards, ['csv', 'scale'], 'one card per module, in patch order');
    const rows = await page.$$eval('section.card[data-module="csv"] tr', (r) => r.map((x) => Number(x.dataset.pin)));
    assert.deepEqual(rows, [...Array(34).keys()], 'pins in table order');
    assert.equal(await page.$$eval(`tr[data-module="csv"][data-pin="5"] .knob`, (k) => k.length), 1);
    assert.equal(await page.$eval('section.card[data-module="csv"] details summary', (s) => s.textContent), 'About');

    await typeInto(page, 'csv', 0, '1,2,3');
    await waitForValue(page, 'csv', 1, '1');
    await waitForValue(page, 'csv', 2, '2');
    await waitForValue(page, 'csv', 3, '3');
    await waitForValue(page, 'csv', 4, '0');

    await typeInto(page, 'csv', 2, '7.25');
    await page.waitForFunction((sel) => document.querySelector(sel).value.startsWith('1.000000,7.250000,3.000000,'),
                               {timeout: 5000}, field('csv', 0));
    assert.deepEqual(errors, []);
    await page.close();
  });

  test('"Multiply by" rescales "Array Out"; a bad value is refused on the page', async () => {
    const page = await browser.newPage();
    await page.goto(panel.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    await waitForValue(page, 'scale', 3, '1.000000,2.000000,3.000000');
    const other = await browser.newPage();  // a second tab stays in step
    await other.goto(panel.url, {waitUntil: 'load'});
    await other.waitForSelector('body[data-layout="ready"][data-link="up"]');

    await typeInto(page, 'scale', 1, '2');
    await waitForValue(page, 'scale', 3, '2.000000,4.000000,6.000000');
    await waitForValue(other, 'scale', 3, '2.000000,4.000000,6.000000');
    await waitForValue(other, 'scale', 1, '2');

    await typeInto(page, 'scale', 1, 'abc');
    await page.waitForSelector('#errors .error', {timeout: 5000});
    const message = await page.$eval('#errors .error span', (s) => s.textContent);
    assert.match(message, /"scale\.Multiply by": "abc" is not a number/);
    await waitForValue(page, 'scale', 1, '2');
    await waitForValue(page, 'scale', 3, '2.000000,4.000000,6.000000');

    // The knob: dragged up, "Add" rises and "Array Out" follows.
    await page.bringToFront();
    const knob = await page.$('tr[data-module="scale"][data-pin="2"] .knob');
    const box = await knob.boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2);
    await page.mouse.down();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height / 2 - 100, {steps: 10});
    await page.mouse.up();
    // 100 pixels up from 0, a hundredth a pixel: 1.
    await waitForValue(page, 'scale', 2, '1');
    await waitForValue(other, 'scale', 2, '1');
    await waitForValue(page, 'scale', 3, '3.000000,5.000000,7.000000');
    await waitForValue(other, 'scale', 3, '3.000000,5.000000,7.000000');
    await page.screenshot({path: join(shots, 'panel.png'), fullPage: false});
    await other.close();
    await page.close();
  });

  test('the example patch: a wire carries a list value, the animation slider sends volts', async () => {
    const page = await browser.newPage();
    await page.goto(example.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    await waitForValue(page, 'scale', 1, '2');
    const note = await page.$eval('tr[data-module="scale"][data-pin="1"] .note', (n) => n.textContent);
    assert.equal(note, 'from list.#1');
    const wires = await page.$eval('section.card[data-module="scale"] ul.wires', (u) => u.textContent);
    assert.equal(wires, 'list.#1 → scale.Multiply by');
    await waitForValue(page, 'scale', 3, '2.500000,4.500000,6.500000');

    await typeInto(page, 'list', 0, '3,0.5,-1');
    await waitForValue(page, 'scale', 1, '3');
    await waitForValue(page, 'scale', 3, '3.500000,6.500000,9.500000');

    // "Anim Position" is a slider; dragged to 0.75 it sends 7.5 V on "GUI 2 DSP".
    await waitForValue(page, 'anim', 0, '2.5');
    const slider = await page.$('tr[data-module="anim"][data-pin="3"] input[type="range"]');
    const box = await slider.boundingBox();
    await page.mouse.click(box.x + box.width * 0.75, box.y + box.height / 2);
    await page.waitForFunction(() => {
      const v = Number(document.querySelector('tr[data-module="anim"][data-pin="0"] output').textContent);
      return v > 6 && v < 9;
    }, {timeout: 5000});
    const position = Number(await valueOf(page, 'anim', 3));
    const volts = Number(await valueOf(page, 'anim', 0));
    assert.equal(Math.fround(volts), Math.fround(Math.fround(position) * 10), 'position x (Max - Min) + Min');
    await page.setViewport({width: 1280, height: 760});
    await page.screenshot({path: join(shots, 'panel-example.png')});
    await page.close();
  });

  test('keyboard, scope and spectrum of a playing patch (a stand-in engine)', async () => {
    const page = await browser.newPage();
    await page.goto(fake.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    assert.equal(await page.$eval('#keys', (k) => k.hidden), false, 'the keyboard shows for a live MIDI input');
    assert.equal(await page.$eval('#spectrum', (k) => k.hidden), false);
    assert.equal(await page.$eval('#spectrum-source', (s) => s.selectedOptions[0].textContent), 'osc.Output');

    // The scope draws: some of its pixels are lit.
    await page.waitForFunction(() => {
      const c = document.querySelector('tr[data-module="osc"][data-pin="1"] canvas');
      const d = c.getContext('2d').getImageData(0, 0, c.width, c.height).data;
      let lit = 0;
      for (let i = 3; i < d.length; i += 4) lit += d[i] > 0 ? 1 : 0;
      return lit > 200;
    }, {timeout: 5000});

    // A on-screen key: A5 (81), 880 Hz, marked on the spectrum.
    const key = await page.$('.key[data-key="81"]');
    const box = await key.boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height - 10);
    await page.mouse.down();
    await waitForValue(page, 'osc', 0, '880');
    assert.equal(await page.$eval('.key[data-key="81"]', (k) => k.classList.contains('down')), true);
    await page.mouse.up();
    await page.waitForFunction(() => /fundamental 88\d\.\d Hz \(A5 /.test(document.getElementById('fundamental').textContent),
                               {timeout: 5000});

    // A computer key: "a" is C of the keyboard's octave (C4, 261.6 Hz); Z shifts down an octave.
    await page.keyboard.down('a');
    await waitForValue(page, 'osc', 0, '261.626');
    await page.keyboard.up('a');
    await page.keyboard.press('z');
    await page.keyboard.down('h');
    await waitForValue(page, 'osc', 0, '220');
    await page.keyboard.up('h');
    await page.waitForFunction(() => /\(A3 /.test(document.getElementById('fundamental').textContent),
                               {timeout: 5000});
    await page.screenshot({path: join(shots, 'panel-keyboard.png')});
    await page.close();
  });

  // The lines the stand-in engine printed for its notes and panics since `from`.
  const notesSince = (from) => fake.stdout().slice(from).split('\n').filter((l) => /^(note|panic)/.test(l));
  async function waitForNotes(from, expected) {
    const until = Date.now() + 5000;
    while (Date.now() < until && notesSince(from).length < expected.length) {
      await new Promise((r) => setTimeout(r, 20));
    }
    assert.deepEqual(notesSince(from), expected);
  }
  const centre = async (page, selector, dy = 0.8) => {
    const box = await (await page.$(selector)).boundingBox();
    return [box.x + box.width / 2, box.y + box.height * dy];
  };

  test('the keyboard glides, lets go on an octave change, and panics', async () => {
    const page = await browser.newPage();
    await page.goto(fake.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    assert.match(await page.$eval('#midi-devices', (d) => d.textContent), /^Web MIDI: /);
    let from = fake.stdout().length;
    // Dragged from C4 across D4 to E4 (white keys, low on the keys), one key sounds at a time.
    await page.mouse.move(...await centre(page, '.key[data-key="60"]'));
    await page.mouse.down();
    await page.mouse.move(...await centre(page, '.key[data-key="62"]'), {steps: 4});
    await page.mouse.move(...await centre(page, '.key[data-key="64"]'), {steps: 4});
    await page.mouse.up();
    await waitForNotes(from, ['note on 60 100', 'note off 60 0', 'note on 62 100', 'note off 62 0',
                              'note on 64 100', 'note off 64 0']);
    // Held with the mouse while X shifts the octave up: the held key is let go.
    from = fake.stdout().length;
    await page.mouse.move(...await centre(page, '.key[data-key="67"]'));
    await page.mouse.down();
    await page.keyboard.press('x');
    await waitForNotes(from, ['note on 67 100', 'note off 67 0']);
    await page.mouse.up();
    await page.keyboard.press('z');
    // The panic button.
    from = fake.stdout().length;
    await page.click('#panic');
    await waitForNotes(from, ['panic']);
    await page.close();
  });

  test('a page that reloads or closes while a key is held leaves no note on', async () => {
    for (const leave of ['reload', 'close']) {
      const page = await browser.newPage();
      await page.goto(fake.url, {waitUntil: 'load'});
      await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
      const from = fake.stdout().length;
      await page.mouse.move(...await centre(page, '.key[data-key="69"]'));
      await page.mouse.down();
      await waitForNotes(from, ['note on 69 100']);
      if (leave === 'reload') await page.reload({waitUntil: 'load'}); else await page.close();
      await waitForNotes(from, ['note on 69 100', 'note off 69 0']);
      if (leave === 'reload') await page.close();
    }
  });

  test('pitch read-outs name the note; the phone layout fits and plays', async () => {
    const page = await browser.newPage();
    await page.goto(fake.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    await page.mouse.move(...await centre(page, '.key[data-key="81"]'));
    await page.mouse.down();
    await page.mouse.up();
    await page.waitForFunction(() => {
      const p = document.querySelector('tr[data-module="osc"][data-pin="2"] .pitch');
      return p && /^A5 \+0 ct · 880\.0 Hz$/.test(p.textContent);
    }, {timeout: 5000});
    assert.equal(await valueOf(page, 'osc', 2), '6.0000', 'the volts stay beside the note');
    await page.screenshot({path: join(shots, 'panel-desktop.png')});

    await page.setViewport({width: 390, height: 844, deviceScaleFactor: 2, isMobile: true, hasTouch: true});
    await page.reload({waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"]');
    const fits = await page.evaluate(() => [document.documentElement.scrollWidth, window.innerWidth]);
    assert.ok(fits[0] <= fits[1], `the page scrolls sideways: ${fits[0]} > ${fits[1]}`);
    // Every key lies on the screen, wide enough for a finger.
    const keys = await page.$$eval('#keyboard .key.white', (ks) => ks.map((k) => k.getBoundingClientRect())
      .map((r) => [r.left, r.right, r.width]));
    assert.ok(keys.every(([l, r, w]) => l >= 0 && r <= 390 && w >= 20), JSON.stringify(keys));
    // The spectrum is drawn at its shown size (labels stay 11 px), not squeezed from 960.
    await page.waitForFunction(() => /fundamental/.test(document.getElementById('fundamental').textContent), {timeout: 5000});
    const canvas = await page.$eval('#spectrum-view', (c) => [c.width, Math.round(c.clientWidth * devicePixelRatio)]);
    assert.equal(canvas[0], canvas[1]);
    const from = fake.stdout().length;
    await page.tap('.key[data-key="64"]');
    await waitForNotes(from, ['note on 64 100', 'note off 64 0']);
    await page.waitForFunction(() => /^E4 /.test(document.querySelector('tr[data-module="osc"][data-pin="2"] .pitch').textContent),
                               {timeout: 5000});
    await page.screenshot({path: join(shots, 'panel-phone.png'), fullPage: true});
    await page.close();
  });
});
