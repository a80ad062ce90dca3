// The web build without a browser: kolvex.wasm's engine in node (the C functions the page
// calls, through engine.js), and `kvhost web` writing a site or refusing one.
import {test} from 'node:test';
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync} from 'node:fs';
import {tmpdir} from 'node:os';
import {join} from 'node:path';
import {pathToFileURL} from 'node:url';

import {fundamental} from './signal.mjs';

const tool = process.env.KVHOST_TOOL;
const wasmDir = process.env.KV_WASM_DIR;
const examples = process.env.KV_EXAMPLES;
assert.ok(tool && wasmDir && examples, 'run through ctest (KVHOST_TOOL, KV_WASM_DIR, KV_EXAMPLES)');

const {makeEngine} = await import(pathToFileURL(join(wasmDir, 'engine.js')));
const program = new WebAssembly.Module(readFileSync(join(wasmDir, 'kolvex.wasm')));
const example = (name) => readFileSync(join(examples, name), 'utf8');
const patchOf = (modules, extra = {}) => JSON.stringify({block_size: 64, modules, ...extra});

test('every module is built in, found by deliverable name and by id', () => {
  const listed = JSON.parse(readFileSync(join(wasmDir, 'kolvex-web.json'), 'utf8')).modules;
  const names = spawnSync(tool, ['list', '--json'], {encoding: 'utf8'});
  assert.equal(names.status, 0, names.stderr);
  const native = JSON.parse(names.stdout).map((p) => p.id).sort();
  assert.deepEqual(listed.map((m) => m.id).sort(), native, 'the same modules as the native build');
  const engine = makeEngine(program);
  const opening = (plugin) => {
    try {
      engine.open(patchOf([{name: 'm', plugin}]), 'p.json', 44100);
      return 'opened';
    } catch (e) {
      return e.message;  // GUI-side modules have no sound output for a patch
    }
  };
  for (const m of listed) {
    for (const name of [m.deliverable, m.id]) assert.doesNotMatch(opening(name), /no module named/, name);
  }
  assert.match(opening('ZOR Nothing'), /no module named/);
});

test('the engine refuses what the core refuses, with its message', () => {
  const engine = makeEngine(program);
  const refusals = [
    [patchOf([{name: 'x', plugin: 'ZOR Nothing'}]), /no module named "ZOR Nothing" is built in \(built in: .*ZOR Twin-Op/],
    [patchOf([{name: 'x', plugin: 'plugins/ZOR Twin-Op.so'}]), /no module named "plugins\/ZOR Twin-Op.so"/],
    [patchOf([{name: 'o', plugin: 'ZOR Twin-Op', pins: {Algorithm: '9->9'}}]), /"9->9" is not one of/],
    ['{"modules": [', /p.json:1:/],
    [JSON.stringify({sample_rate: 48000, modules: [{name: 'o', plugin: 'ZOR Twin-Op'}]}),
     /p.json plays at 48000 Hz but this page runs at 44100 Hz/],
  ];
  for (const [json, message] of refusals) {
    assert.throws(() => engine.open(json, 'p.json', 44100), message, json);
  }
  // The rate: the page's for a patch that names none, the patch's own at rate 0 (as render).
  assert.equal(engine.open(example('demo_live.json'), 'demo_live.json', 48000).sample_rate, 48000);
  assert.equal(engine.open(example('demo_live.json'), 'demo_live.json', 0).sample_rate, 44100);
  assert.equal(engine.open(example('twin_op_notes.json'), 'twin_op_notes.json', 44100).sample_rate, 44100);
  assert.throws(() => engine.midiFile(new Uint8Array([77, 84, 104, 100, 0]), 'bad.mid'), /bad.mid/);
  for (const [status, d1, d2] of [[0x40, 60, 1], [0xF0, 0, 0], [0x90, 128, 1], [0x90, 60, -1]]) {
    assert.throws(() => engine.midi(status, d1, d2), /not a channel message/);
  }
  for (const [module, pin, text, message] of [
    ['voice', 'OP2 Level', 'loud', /"loud"/], ['voice', 'Output', '1', /is an output/],
    ['voice', 'OP1 Pitch', '1', /is wired/], ['nobody', 'Level', '1', /nobody/],
    ['voice', 'No Such Pin', '1', /No Such Pin/]]) {
    assert.throws(() => makeLive().set(module, pin, text), message, `${module}.${pin}=${text}`);
  }
  engine.set('osc', 'OP1 FB/Level', '0.5');
});

const livePatch = readFileSync(new URL('patches/live_sine.json', import.meta.url), 'utf8');
function makeLive() {
  const engine = makeEngine(program);
  engine.open(livePatch, 'live_sine.json', 48000);
  return engine;
}

test('live notes and settings reach the patch from the next frame', () => {
  const engine = makeLive();
  const hz = (key) => 440 * 2 ** ((key - 69) / 12);
  engine.render(4800);
  for (const key of [48, 60, 69, 76]) {
    engine.midi(0x90, key, 100);
    const tone = Float32Array.from(engine.render(9600)[0].subarray(2400));
    const f = fundamental(tone, 48000);
    assert.ok(Math.abs(f / hz(key) - 1) < 0.005, `key ${key}: ${f} Hz, not ${hz(key)}`);
    engine.midi(0x90, key, 0);  // a note-on of velocity 0 ends the note
    const after = engine.render(24000)[0].subarray(19200);
    assert.ok(after.every((x) => x === 0), `key ${key} falls silent after its note-off`);
  }
  engine.set('voice', 'On/Off', 'Off');
  engine.midi(0x90, 60, 100);
  engine.render(64);
  assert.ok(engine.render(4800)[0].every((x) => x === 0), 'a voice set off stays silent');
});

// kv_layout: the panel's layout message for the open patch, and values as the cards show them.
test('the layout gives each pin its control and value; sets read back, refusals keep the value', () => {
  const engine = makeEngine(program);
  engine.open(example('twin_op_fm.json'), 'twin_op_fm.json', 0);
  const layout = engine.layout();
  assert.deepEqual([layout.type, layout.title, layout.sample_rate, layout.midi_input], ['layout', 'twin_op_fm.json', 44100, true]);
  assert.deepEqual(layout.modules.map((m) => [m.name, m.plugin]), [['keys', 'wy:VUDA2DU'], ['fm', 'ZOR Twin-Op']]);
  assert.deepEqual(layout.wires, [{from: ['keys', 'Pitch'], to: ['fm', 'OP1 Pitch']}, {from: ['keys', 'Pitch'], to: ['fm', 'OP2 Pitch']}]);
  const pins = Object.fromEntries(layout.modules[1].pins.map((p) => [p.name, p]));
  // [pin, control, value as opened, a value set, as it reads back]
  for (const [name, control, opened, given, read] of [
    ['Algorithm', 'choice', '1', '2->1', '1'],
    ['On/Off', 'choice', '1', 'Off', '0'],
    ['OP1 FB/Level', 'number', '10', '0.3', '0.3'],
    ['OP2 Level', 'number', '0.4', '-2.25', '-2.25'],
    ['OP1 Pitch', 'readout', '0', null, null],
    ['Output', 'scope', '0', null, null],
  ]) {
    assert.deepEqual([pins[name].control, pins[name].value, engine.value('fm', name)], [control, opened, opened], name);
    if (given === null) continue;
    engine.set('fm', name, given);
    assert.equal(engine.value('fm', name), read, `${name} set to ${given}`);
    assert.equal(engine.layout().modules[1].pins.find((p) => p.name === name).value, read);
  }
  assert.equal(pins['OP1 Pitch'].note, 'from keys.Pitch');
  assert.deepEqual(pins.Algorithm.choices.map(([label]) => label), ['1->1', '2->1', 'Test']);
  for (const [pin, value, message] of [['#3', 'loud', /pin "OP1 FB\/Level": "loud" is not a number/],
                                       ['Algorithm', '7', /"7" is not one of/], ['OP1 Pitch', '1', /is wired/],
                                       ['Output', '1', /is an output/]]) {
    const before = engine.value('fm', pin);
    assert.throws(() => engine.set('fm', pin, value), message);
    assert.equal(engine.value('fm', pin), before, `${pin} keeps its value`);
  }
  assert.throws(() => engine.value('nobody', 'x'), /no module named "nobody"/);
});

// The site's page: every module a script imports is one of the site's files (the panel's own
// among them), and the policy lets in no inline script.
test("the page's scripts are all in the site, under a strict content security policy", () => {
  const files = JSON.parse(readFileSync(join(wasmDir, 'kolvex-web.json'), 'utf8')).files;
  for (const f of files.filter((name) => name.endsWith('.js'))) {
    for (const [, imported] of readFileSync(join(wasmDir, f), 'utf8').matchAll(/(?:from|import)\s*\(?'\.\/([^']+)'/g)) {
      assert.ok(files.includes(imported), `${f} imports ${imported}, which is not in the site`);
    }
  }
  const html = readFileSync(join(wasmDir, 'index.html'), 'utf8');
  const policy = /http-equiv="Content-Security-Policy" content="([^"]+)"/.exec(html)?.[1] ?? '';
  const directives = Object.fromEntries(policy.split(';').map((d) => d.trim().split(/\s+/)).map(([k, ...v]) => [k, v]));
  assert.deepEqual(directives['default-src'], ["'none'"]);
  assert.deepEqual(directives['script-src'], ["'self'", "'wasm-unsafe-eval'"]);
  assert.deepEqual(directives['style-src'], ["'self'"]);
  assert.deepEqual([...html.matchAll(/<script\b[^>]*>/g)].map(([tag]) => /\bsrc="[^"]+"/.test(tag)), [true]);
  assert.doesNotMatch(html, /\son[a-z]+="/, 'no inline handlers');
});

test('kvhost web writes a site, and refuses what a page could not run', () => {
  const dir = mkdtempSync(join(tmpdir(), 'kv-web-site-'));
  try {
    const web = (...args) => spawnSync(tool, ['web', ...args], {encoding: 'utf8'});
    const ok = web(join(examples, 'twin_op_notes.json'), '-o', join(dir, 'site'));
    assert.equal(ok.status, 0, ok.stderr);
    const site = JSON.parse(readFileSync(join(dir, 'site', 'site.json'), 'utf8'));
    assert.deepEqual([site.patch, site.midi], ['twin_op_notes.json', 'twin_op_notes.mid']);
    for (const f of JSON.parse(readFileSync(join(wasmDir, 'kolvex-web.json'), 'utf8')).files) {
      assert.ok(existsSync(join(dir, 'site', f)), `${f} is in the site`);
    }
    assert.equal(readFileSync(join(dir, 'site', 'patch', 'twin_op_notes.json'), 'utf8'), example('twin_op_notes.json'));

    const write = (name, text) => { writeFileSync(join(dir, name), text); return join(dir, name); };
    const cases = [
      [[write('none.json', patchOf([{name: 'x', plugin: 'ZOR Nothing'}])), '-o', join(dir, 'a')], 3,
       /module "x": no module named "ZOR Nothing" is built into the web build \(built in: .*ZOR Twin-Op/],
      [[write('path.json', patchOf([{name: 'x', plugin: 'plugins/ZOR Twin-Op.so'}])), '-o', join(dir, 'b')], 3,
       /name it "ZOR Twin-Op" \(a page loads no files\)/],
      [[join(examples, 'twin_op_notes.json'), '-o', join(dir, 'c'), '--wasm-dir', join(dir, 'nowhere')], 3,
       /no WebAssembly build of the modules in .*nowhere/],
      [[join(examples, 'twin_op_notes.json'), '-o', write('file', 'x')], 6, /is a file, not a folder/],
      [[write('badmidi.json', patchOf([{name: 'k', plugin: 'wy_VUDA2DU'}], {midi: 'bad.mid'})), '-o', join(dir, 'd')], 5,
       /bad.mid/],
      [[write('broken.json', '{"modules": ['), '-o', join(dir, 'e')], 4, /broken.json:1:/],
    ];
    write('bad.mid', 'MThd');
    for (const [args, code, message] of cases) {
      const r = web(...args);
      assert.equal(r.status, code, `${args.join(' ')}: ${r.stderr}`);
      assert.match(r.stderr, message);
      assert.ok(!existsSync(join(args[2], 'site.json')), 'a refused site is not written');
    }
  } finally {
    rmSync(dir, {recursive: true, force: true});
  }
});

test("the tables the oscillators build with the C library are the native build's, bit for bit", () => {
  const native = spawnSync(process.env.KV_TABLE_DIGEST, {encoding: 'utf8'});
  const wasm = spawnSync(process.execPath, [process.env.KV_WASM_TABLE_DIGEST], {encoding: 'utf8'});
  assert.equal(native.status, 0, native.stderr);
  assert.equal(wasm.status, 0, wasm.stderr);
  assert.equal(native.stdout.split('\n').length, 1 + 2 + 7 + 8 * 3 + 8 + 1, native.stdout);
  assert.equal(wasm.stdout, native.stdout);
});

