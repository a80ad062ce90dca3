// The patch editor in Debian's chromium, driven by mouse and keyboard alone: the demo_live
// instrument built from an empty file under `kvhost panel --new FILE`, saved, and checked
// against examples/demo_live.json: the same modules, values and wires, and `kvhost render`
// of both with one MIDI file gives the same samples.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {execFileSync} from 'node:child_process';
import {mkdirSync, mkdtempSync, readFileSync, rmSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {launchChromium, startPanel, stopPanel} from './harness.mjs';

const tool = process.env.KVHOST_TOOL;
const examples = process.env.KV_EXAMPLES;
const shots = process.env.KV_PANEL_SHOTS || join(tmpdir(), 'kv-panel-shots');
assert.ok(tool && examples, 'run through ctest (KVHOST_TOOL, KV_EXAMPLES)');

// ---- Driving the page with the mouse and the keyboard ----------------------------------

async function centreOf(page, selector) {
  const handle = await page.waitForSelector(selector, {timeout: 5000});
  // Out of sight: the canvas (a jack) or the page is scrolled with the wheel.
  for (let i = 0; i < 10; ++i) {
    const box = await handle.boundingBox();
    const inCanvas = await page.$eval(selector, (e) => !!e.closest('#canvas'));
    const view = inCanvas ? await (await page.$('#canvas')).boundingBox()
      : {x: 0, y: 0, ...page.viewport()};
    const inside = box.y >= view.y && box.y + box.height <= view.y + view.height &&
      box.x >= view.x && box.x + box.width <= view.x + view.width;
    if (inside) return {x: box.x + box.width / 2, y: box.y + box.height / 2};
    if (inCanvas) await page.mouse.move(view.x + view.width / 2, view.y + view.height / 2);
    else await page.mouse.move(2, 2);
    await page.mouse.wheel({deltaX: box.x - view.x - view.width / 2, deltaY: box.y - view.y - view.height / 2});
    await new Promise((r) => setTimeout(r, 150));
  }
  assert.fail(`${selector} cannot be scrolled into view`);
}

async function click(page, selector) {
  const c = await centreOf(page, selector);
  await page.mouse.click(c.x, c.y);
}

async function typeInto(page, selector, text) {
  const c = await centreOf(page, selector);
  await page.mouse.click(c.x, c.y, {clickCount: 3});
  await page.keyboard.press('Backspace');
  await page.keyboard.type(text);
  await page.keyboard.press('Enter');
}

// A closed selector opened with the mouse, an entry chosen by typing its label.
async function choose(page, selector, label) {
  await click(page, selector);
  await page.keyboard.type(label);
  await page.keyboard.press('Enter');
}

async function addModule(page, search, deliverable, name) {
  await typeInto(page, '#add-search', search);
  await click(page, `#add-results .result[data-deliverable="${deliverable}"]`);
  await typeInto(page, '#add-name', name);
  await page.waitForSelector(`#canvas .node[data-module="${name}"]`, {timeout: 5000});
}

async function wire(page, from, to) {
  const a = await centreOf(page, `#canvas .jack[data-ref="${from}"] .dot`);
  const b = await centreOf(page, `#canvas .jack[data-ref="${to}"] .dot`);
  await page.mouse.move(a.x, a.y);
  await page.mouse.down();
  await page.mouse.move(b.x, b.y, {steps: 8});
  await page.mouse.up();
}

// The row of a module's pin in the value cards (pins are rows by description index).
async function pinRow(page, module, pin) {
  const index = await page.$$eval(`section.card[data-module="${module}"] tr`, (rows, name) =>
    rows.find((r) => r.querySelector('th').firstChild.textContent === name)?.dataset.pin, pin);
  assert.ok(index !== undefined, `${module} has no row ${pin}`);
  return `tr[data-module="${module}"][data-pin="${index}"] .control`;
}

const structure = (page) => page.evaluate(() => ({
  midi: document.getElementById('midi-source').value,
  groups: [...document.getElementById('voice-group').options].map((o) => o.textContent),
}));

// ---- The saved patch against the example ------------------------------------------------

// A pin table's values as a module starts with them: its defaults, choices as numbers.
function defaults(plugin) {
  const info = JSON.parse(execFileSync(tool, ['info', '--json', plugin], {encoding: 'utf8'}));
  return new Map(info.pins.filter((p) => p.direction === 'in' && p.default !== null).map((p) => [p.name, p]));
}

function numeric(pin, value) {
  if (pin.choices && !pin.choices.startsWith('range') && typeof value === 'string') {
    const entries = pin.choices.split(',').map((c, i) => (c.includes('=') ? c.split('=') : [c, String(i)]));
    const hit = entries.find(([label]) => label === value);
    if (hit) return Number(hit[1]);
  }
  return Number(value);
}

// The values a module runs with: the patch's settings over the defaults (a setting equal to
// its default, "On/Off": "On", is the same patch as none).
function effective(module) {
  const pins = defaults(module.plugin);
  const values = {};
  for (const [name, p] of pins) values[name] = numeric(p, p.default);
  for (const [name, v] of Object.entries(module.pins || {})) values[name] = numeric(pins.get(name), v);
  return values;
}

function normalised(patch) {
  const pin = (p) => (Array.isArray(p) ? p.join('.') : p);
  const groups = [].concat(patch.voices || []);
  return {
    modules: patch.modules.map((m) => ({name: m.name, plugin: m.plugin, pins: effective(m)})),
    wires: (patch.wires || []).map((w) => `${pin(w.from ?? w[0])} -> ${pin(w.to ?? w[1])}`).sort(),
    voices: groups.map((g) => ({count: g.count, modules: g.modules, sleep: !!g.sleep})),
    midi: patch.midi,
    outputs: patch.audio?.outputs?.map(pin),
    gain: patch.audio?.gain ?? 1,
    block: patch.block_size ?? 64,
    rate: patch.sample_rate ?? null,
  };
}

function render(patch, midi, out) {
  execFileSync(tool, ['render', patch, '--midi', midi, '-o', out], {stdio: ['ignore', 'ignore', 'pipe']});
  return readFileSync(out);
}

test('the demo_live instrument built in the page saves and renders as the example', async () => {
  mkdirSync(shots, {recursive: true});
  const dir = mkdtempSync(join(tmpdir(), 'kv-editor-'));
  const file = join(dir, 'built.json');
  const profile = mkdtempSync(join(tmpdir(), 'kv-editor-profile-'));
  const panel = await startPanel(tool, ['panel', '--new', file]);
  let browser;
  try {
    browser = await launchChromium(profile, {width: 1280, height: 1200});
    const page = await browser.newPage();
    const errors = [];
    page.on('pageerror', (e) => errors.push(e.message));
    await page.goto(panel.url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-layout="ready"][data-link="up"][data-editing="yes"]');

    await addModule(page, 'VUDA', 'wy_VUDA2DU', 'keys');
    await addModule(page, 'twin DSP', 'ZOR Twin-Op', 'voice');
    for (const [from, to] of [['keys.Pitch', 'voice.OP1 Pitch'], ['keys.Pitch', 'voice.OP2 Pitch'],
                              ['keys.Gate', 'voice.OP1 FB/Level']]) {
      await wire(page, from, to);
      await page.waitForSelector(`#cables g.cable[data-from="${from}"][data-to="${to}"]`, {timeout: 5000});
    }

    // A refused wire: its reason beside the jack it names; nothing changes.
    await wire(page, 'keys.Pitch', 'voice.Algorithm');
    await page.waitForSelector('#canvas .node[data-module="voice"] .refusal[data-subject="voice.Algorithm"]', {timeout: 5000});
    const reason = await page.$eval('#canvas .node[data-module="voice"] .refusal', (e) => e.textContent);
    assert.match(reason, /^Algorithm: .*cannot connect samples to choice/);
    assert.equal(await page.$$eval('#cables g.cable', (c) => c.length), 3);

    // A cable deleted by its ×; a card dragged 120 px down is placed there.
    await wire(page, 'keys.Velocity', 'voice.OP2 Level');
    await click(page, '#cables g.cable[data-to="voice.OP2 Level"] text.unwire');
    await page.waitForFunction(() => document.querySelectorAll('#cables g.cable').length === 3);
    const head = await centreOf(page, '#canvas .node[data-module="voice"] .node-plugin');
    await page.mouse.move(head.x, head.y);
    await page.mouse.down();
    await page.mouse.move(head.x, head.y + 120, {steps: 6});
    await page.mouse.up();
    await page.waitForFunction(() => document.querySelector('#canvas .node[data-module="voice"]').offsetTop === 140);

    // Values: DSP-side pins set from the value cards go into the patch.
    await choose(page, await pinRow(page, 'voice', 'Algorithm'), '2->1');
    await typeInto(page, await pinRow(page, 'voice', 'OP2 Level'), '0.6');
    await choose(page, await pinRow(page, 'voice', 'On/Off'), 'On');
    await choose(page, await pinRow(page, 'keys', 'Retrigger'), 'On');

    // Eight voices of keys and voice; voice's output to the audio; MIDI live.
    await typeInto(page, '#voice-count', '8');
    await click(page, '#voice-modules input[value="keys"]');
    await click(page, '#voice-modules input[value="voice"]');
    await click(page, '#voice-set');
    await page.waitForFunction(() => document.getElementById('voice-group').options[0].textContent === '1: 8 × keys, voice');
    await click(page, '#outputs input[value="voice.Output"]');
    await page.waitForSelector('#outputs input[value="voice.Output"]:checked');
    await choose(page, '#midi-source', 'live');
    await page.waitForFunction(() => document.getElementById('midi-source').value === 'live');

    // Ctrl-Z takes the last edit back, Ctrl-Shift-Z brings it again.
    await page.mouse.click(5, 5);  // out of every field
    await page.keyboard.down('Control');
    await page.keyboard.press('z');
    await page.waitForFunction(() => document.getElementById('midi-source').value === 'none');
    await page.keyboard.down('Shift');
    await page.keyboard.press('z');
    await page.keyboard.up('Shift');
    await page.keyboard.up('Control');
    await page.waitForFunction(() => document.getElementById('midi-source').value === 'live');
    assert.deepEqual(await structure(page), {midi: 'live', groups: ['1: 8 × keys, voice', 'new group']});

    assert.equal(await page.$eval('#dirty', (d) => d.hidden), false, 'the unsaved mark shows');
    await page.screenshot({path: join(shots, 'editor.png')});
    await click(page, '#save');
    await page.waitForSelector('#dirty[hidden]', {timeout: 5000});

    // 390 pixels wide: the page body never scrolls sideways (the canvas scrolls inside).
    await page.setViewport({width: 390, height: 844});
    await new Promise((r) => setTimeout(r, 200));
    const wide = await page.evaluate(() => document.documentElement.scrollWidth);
    assert.ok(wide <= 390, `the page is ${wide} px wide at 390 px`);
    await page.screenshot({path: join(shots, 'editor_narrow.png')});
    assert.deepEqual(errors, []);
  } finally {
    if (browser) await browser.close().catch(() => {});
    rmSync(profile, {recursive: true, force: true});
    assert.equal(await stopPanel(panel), 0, `kvhost panel did not end cleanly: ${panel.stderr()}`);
  }

  const example = join(examples, 'demo_live.json');
  const saved = JSON.parse(readFileSync(file, 'utf8'));
  assert.deepEqual(saved.modules.map((m) => m.ui), [{x: 20, y: 20}, {x: 300, y: 140}]);
  assert.deepEqual(normalised(saved), normalised(JSON.parse(readFileSync(example, 'utf8'))));
  const midi = join(examples, 'poly_chords.mid');
  const ours = render(file, midi, join(dir, 'built.wav'));
  const theirs = render(example, midi, join(dir, 'example.wav'));
  // The samples, not the header: its peak chunk holds the time the file was written.
  const samples = (wav) => wav.subarray(wav.indexOf('data'));
  assert.ok(samples(ours).subarray(8).some((b) => b !== 0), 'the rendered patch is not silent');
  assert.ok(samples(ours).equals(samples(theirs)),
            'the saved patch renders the same samples as demo_live.json');
  rmSync(dir, {recursive: true, force: true});
});
