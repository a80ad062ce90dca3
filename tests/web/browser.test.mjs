// Sites written by `kvhost web` in a real browser: Debian's chromium, headless, driven by
// puppeteer-core, on a static file server of this test's own (loopback, a free port). The
// page's "Render to WAV" equals `kvhost render` bit for bit; three keys played live, and a
// Web MIDI keyboard, sound at their pitches; the panel's cards set pins before and while
// playing, refusals show, and the scope and spectrum draw the worklet's output; a damaged
// kolvex.wasm is reported on the page.
import {after, before, test} from 'node:test';
import assert from 'node:assert/strict';
import {spawnSync} from 'node:child_process';
import {createReadStream, existsSync, mkdirSync, mkdtempSync, readFileSync, rmSync, statSync, writeFileSync} from 'node:fs';
import {createServer} from 'node:http';
import {tmpdir} from 'node:os';
import {extname, join, normalize, sep} from 'node:path';

// Chromium as the panel's browser tests start it (puppeteer-core from tests/panel).
import {launchChromium} from '../panel/browser/harness.mjs';
import {fundamental} from './signal.mjs';

const tool = process.env.KVHOST_TOOL;
const examples = process.env.KV_EXAMPLES;
const shots = process.env.KV_WEB_SHOTS || join(tmpdir(), 'kv-web-shots');
assert.ok(tool && examples, 'run through ctest (KVHOST_TOOL, KV_EXAMPLES)');

const work = mkdtempSync(join(tmpdir(), 'kv-web-'));
let server;
let browser;
let origin;

// Files under `work` as any static server gives them.
const kTypes = {'.html': 'text/html', '.js': 'text/javascript', '.css': 'text/css', '.json': 'application/json',
                '.wasm': 'application/wasm'};
function serve(request, response) {
  const path = normalize(join(work, decodeURIComponent(new URL(request.url, origin).pathname)));
  const file = path.endsWith(sep) ? join(path, 'index.html') : path;
  if (!file.startsWith(work + sep) || !existsSync(file) || !statSync(file).isFile()) {
    response.writeHead(404).end();
    return;
  }
  response.writeHead(200, {'Content-Type': kTypes[extname(file)] || 'application/octet-stream'});
  createReadStream(file).pipe(response);
}

before(async () => {
  server = createServer(serve);
  await new Promise((resolve) => server.listen(0, '127.0.0.1', resolve));
  origin = `http://127.0.0.1:${server.address().port}`;
  browser = await launchChromium(join(work, 'profile'), {width: 1100, height: 700},
                                 ['--autoplay-policy=no-user-gesture-required']);
  mkdirSync(shots, {recursive: true});
});

after(async () => {
  await browser?.close();
  server?.close();
  rmSync(work, {recursive: true, force: true});
});

function run(...args) {
  const r = spawnSync(tool, args, {encoding: 'utf8'});
  assert.equal(r.status, 0, `kvhost ${args.join(' ')}: ${r.stderr}`);
}

// The site of a patch (an example's name, or a path), written by kvhost web; its address.
function site(name, patch = join(examples, `${name}.json`)) {
  run('web', patch, '-o', join(work, name));
  return `${origin}/${name}/`;
}

// The sample data of a WAV file (kvhost's float files, or the page's), as bytes.
function wavData(bytes) {
  const b = Buffer.from(bytes);
  assert.equal(b.toString('ascii', 0, 4), 'RIFF');
  let at = 12;
  let format = null;
  while (at + 8 <= b.length) {
    const id = b.toString('ascii', at, at + 4);
    const size = b.readUInt32LE(at + 4);
    if (id === 'fmt ') format = {tag: b.readUInt16LE(at + 8), channels: b.readUInt16LE(at + 10), rate: b.readUInt32LE(at + 12), bits: b.readUInt16LE(at + 22)};
    if (id === 'data') return {format, data: b.subarray(at + 8, at + 8 + size)};
    at += 8 + size + (size & 1);
  }
  assert.fail('no data chunk');
}

async function openSite(url, prepare = async () => {}) {
  const page = await browser.newPage();
  const problems = [];
  page.on('pageerror', (e) => problems.push(e.message));
  await prepare(page);
  await page.goto(url, {waitUntil: 'load'});
  await page.waitForSelector('body[data-state="ready"], body[data-state="error"]');
  const error = await page.$eval('#error', (e) => (e.hidden ? '' : e.textContent));
  assert.equal(error, '', `the page shows an error: ${error} ${problems.join(' ')}`);
  return page;
}

// A file the page offers for download (a blob: link), as bytes.
async function offered(page, selector) {
  await page.waitForSelector(`${selector}:not([hidden])`, {timeout: 120000});
  const base64 = await page.$eval(selector, async (a) => {
    const bytes = new Uint8Array(await (await fetch(a.href)).arrayBuffer());
    let text = '';
    for (let i = 0; i < bytes.length; i += 0x8000) text += String.fromCharCode(...bytes.subarray(i, i + 0x8000));
    return btoa(text);
  });
  return Buffer.from(base64, 'base64');
}

for (const name of ['twin_op_notes', 'poly_chords', 'warpwave_notes', 'basic_voice_notes']) {
  test(`Render to WAV of ${name} equals kvhost render bit for bit`, async () => {
    const reference = join(work, `${name}.wav`);
    run('render', join(examples, `${name}.json`), '-o', reference);
    const page = await openSite(site(name));
    await page.click('#render');
    const rendered = wavData(await offered(page, '#render-file'));
    const expected = wavData(readFileSync(reference));
    assert.deepEqual(rendered.format, expected.format, 'float samples, channels and rate as render writes');
    assert.equal(rendered.data.length, expected.data.length, 'as many frames as render');
    const differ = rendered.data.findIndex((byte, i) => byte !== expected.data[i]);
    assert.equal(differ, -1, `sample ${Math.floor(differ / 4)} differs`);
    await page.close();
  });
}

test('three keys played on the page sound at their pitches', async () => {
  const page = await openSite(site('live_sine', new URL('patches/live_sine.json', import.meta.url).pathname));
  await page.click('#play');
  await page.waitForSelector('body[data-play="on"]');
  const rate = await page.evaluate(() => Number(/(\d+) Hz/.exec(document.getElementById('play-state').textContent)[1]));
  for (const key of [60, 64, 67]) {
    await page.click('#record');
    const box = await (await page.$(`.key[data-key="${key}"]`)).boundingBox();
    await page.mouse.move(box.x + box.width / 2, box.y + box.height - 10);
    await page.mouse.down();
    await new Promise((r) => setTimeout(r, 600));
    if (key === 64) await page.screenshot({path: join(shots, 'web-play.png')});
    await page.mouse.up();
    await page.click('#record');
    const {data} = wavData(await offered(page, '#record-file'));
    await page.$eval('#record-file', (a) => { a.hidden = true; });
    const samples = new Float32Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.length));
    const sounding = samples.reduce((n, x) => n + (Math.abs(x) > 1e-3 ? 1 : 0), 0);
    assert.ok(sounding > rate / 4, `key ${key}: ${sounding} sounding samples recorded`);
    // The middle of the recording, where the key is held.
    const first = samples.findIndex((x) => Math.abs(x) > 1e-3);
    const tone = samples.subarray(first + rate / 20, first + rate / 20 + rate / 5);
    const hz = 440 * 2 ** ((key - 69) / 12);
    const f = fundamental(tone, rate);
    assert.ok(Math.abs(f / hz - 1) < 0.005, `key ${key}: ${f.toFixed(2)} Hz, not within 0.5 % of ${hz.toFixed(2)} Hz`);
  }
  await page.close();
});

// A Web MIDI keyboard of the test's own (the browser's MIDI access replaced before the page
// loads): its note sounds at its pitch, system bytes and a cut message are passed over, the
// header names it, and the worklet's DSP load shows.
test('a Web MIDI keyboard plays the patch; the header names it and the DSP load shows', async () => {
  const page = await openSite(site('web_midi', new URL('patches/live_sine.json', import.meta.url).pathname),
                              (p) => p.evaluateOnNewDocument(() => {
                                const input = {id: 'k1', name: 'Test keys', onmidimessage: null};
                                window.testMidi = (...bytes) => input.onmidimessage?.({data: new Uint8Array(bytes)});
                                Object.defineProperty(navigator, 'requestMIDIAccess', {
                                  value: async () => ({inputs: new Map([['k1', input]]), onstatechange: null}),
                                });
                              }));
  assert.equal(await page.$eval('#web-midi', (e) => e.textContent), 'Web MIDI: Test keys');
  await page.click('#play');
  await page.waitForSelector('body[data-play="on"]');
  const rate = await page.evaluate(() => Number(/(\d+) Hz/.exec(document.getElementById('play-state').textContent)[1]));
  await page.click('#record');
  await page.evaluate(() => {
    testMidi(0xF8);              // a clock tick: no note
    testMidi(0x90, 60);          // cut short: no note
    testMidi(0xF0, 0x7E, 0xF7);  // a system-exclusive message: no note
    testMidi(0x90, 69, 100);
  });
  await new Promise((r) => setTimeout(r, 1200));
  await page.evaluate(() => testMidi(0x80, 69, 0));
  await page.click('#record');
  const {data} = wavData(await offered(page, '#record-file'));
  const samples = new Float32Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.length));
  const first = samples.findIndex((x) => Math.abs(x) > 1e-3);
  assert.ok(first >= 0, 'the note sounds');
  const f = fundamental(samples.subarray(first + rate / 20, first + rate / 20 + rate / 5), rate);
  assert.ok(Math.abs(f / 440 - 1) < 0.005, `${f.toFixed(2)} Hz, not within 0.5 % of 440 Hz`);
  assert.match(await page.$eval('#dsp-load', (e) => e.textContent), /^DSP \d+\.\d %$/);
  assert.equal(await page.$eval('#transport', (e) => e.textContent), 'values cross through message ports');
  await page.screenshot({path: join(shots, 'web-midi.png')});
  await page.close();
});

// The panel's cards on the page (tests/web/patches/drone.json: a sine at "OP1 Pitch" volts).
test('the cards set pins through the worklet: the spectrum follows, refusals show, read-outs and the scope follow', async () => {
  const page = await openSite(site('drone', new URL('patches/drone.json', import.meta.url).pathname));
  await page.waitForSelector('body[data-layout="ready"]');
  assert.deepEqual(await page.$$eval('#cards section.card', (c) => c.map((e) => e.dataset.module)), ['keys', 'voice']);
  const pinRow = (name) => page.evaluateHandle((n) => [...document.querySelectorAll('#cards tr[data-module="voice"]')]
    .find((r) => r.querySelector('th').firstChild.textContent === n), name);
  const field = async (name) => (await pinRow(name)).asElement().$('input.num');
  const type = async (name, text) => {
    const input = await field(name);
    await input.click({clickCount: 3});
    await input.type(text);
    await input.press('Tab');
  };
  const valueOf = async (name) => (await field(name)).evaluate((e) => e.value);
  const errors = () => page.$$eval('#errors .error span', (s) => s.map((e) => e.textContent));
  // A wave drawn: pixels of the scope away from its midline and its label.
  const scopeInk = () => page.evaluate(() => {
    const c = document.querySelector('#cards tr.pin-scope canvas');
    const {data, width, height} = c.getContext('2d').getImageData(0, 0, c.width, c.height);
    let ink = 0;
    for (let y = Math.round(height * 0.25); y < height; ++y) {
      if (Math.abs(y - height / 2) < 3) continue;
      for (let x = 0; x < width; ++x) if (data[4 * (y * width + x) + 3] > 0) ++ink;
    }
    return ink;
  });
  // The spectrum's fundamental once `windows` more windows were drawn.
  const fundamentalAfter = async (windows = 8) => {
    const start = await page.evaluate(() => Number(document.body.dataset.drawn || 0));
    await page.waitForFunction((n) => Number(document.body.dataset.drawn || 0) >= n, {timeout: 10000}, start + windows);
    return page.$eval('#fundamental', (e) => Number(e.dataset.hz));
  };
  const near = (hz, expected, what) =>
    assert.ok(Math.abs(hz / expected - 1) < 0.01, `${what}: fundamental ${hz} Hz, not within 1 % of ${expected} Hz`);

  assert.equal(await scopeInk(), 0, 'nothing drawn before Play');
  // Refused, before Play (the page's engine) and while playing (the worklet): the message
  // names the pin, the field shows the value held.
  await type('OP1 Pitch', 'loud');
  await page.waitForFunction(() => document.querySelectorAll('#errors .error').length === 1);
  assert.match((await errors())[0], /module "voice", pin "OP1 Pitch"/);
  assert.equal(await valueOf('OP1 Pitch'), '5');
  await type('OP1 Pitch', '4');  // kept for the rendering Play starts
  await page.click('#play');
  await page.waitForSelector('body[data-play="on"]');
  near(await fundamentalAfter(), 220, 'OP1 Pitch 4 V set before Play');
  assert.ok(await scopeInk() > 50, 'the scope draws the output');
  // Read-outs follow the patch: a key held moves the keyboard module's Pitch and Gate.
  const readout = (name) => page.$$eval('#cards tr[data-module="keys"]', (rows, n) =>
    rows.find((r) => r.querySelector('th').firstChild.textContent === n).querySelector('output').textContent, name);
  assert.deepEqual([await readout('Pitch'), await readout('Gate')], ['0', '0']);
  const a4 = await (await page.$('.key[data-key="69"]')).boundingBox();
  await page.mouse.move(a4.x + a4.width / 2, a4.y + a4.height - 10);
  await page.mouse.down();
  await page.waitForFunction(() => [...document.querySelectorAll('#cards tr[data-module="keys"]')]
    .find((r) => r.querySelector('th').firstChild.textContent === 'Pitch').querySelector('output').textContent === '5',
  {timeout: 5000});
  assert.notEqual(await readout('Gate'), '0');
  await page.mouse.up();
  for (const [volts, hz] of [['6', 880], ['5.5', 622.25]]) {
    await type('OP1 Pitch', volts);
    near(await fundamentalAfter(), hz, `OP1 Pitch ${volts} V`);
  }
  await type('OP1 Pitch', 'loud');
  await page.waitForFunction(() => document.querySelectorAll('#errors .error').length === 2);
  assert.match((await errors())[0], /module "voice", pin "OP1 Pitch"/);
  assert.equal(await valueOf('OP1 Pitch'), '5.5');
  near(await fundamentalAfter(), 622.25, 'after a refusal');
  // Render to WAV renders with the values set.
  await page.click('#render');
  const {data, format} = wavData(await offered(page, '#render-file'));
  const rendered = new Float32Array(data.buffer.slice(data.byteOffset, data.byteOffset + data.length));
  near(fundamental(rendered.subarray(format.rate, format.rate + format.rate / 5), format.rate), 622.25, 'Render to WAV');
  // A selector: On/Off to Off silences the voice.
  const onOff = await (await pinRow('On/Off')).asElement().$('select');
  await onOff.select('0');
  await page.waitForFunction(() => document.getElementById('fundamental').dataset.hz === '0', {timeout: 10000});
  await page.screenshot({path: join(shots, 'web-cards.png'), fullPage: true});
  await page.close();
});

test('a damaged kolvex.wasm is reported on the page', async () => {
  const url = site('twin_op_notes');
  const wasm = join(work, 'twin_op_notes', 'kolvex.wasm');
  const whole = readFileSync(wasm);
  // One bit of a message text: the program still compiles, and would say something else.
  const damaged = Buffer.from(whole);
  const text = damaged.indexOf('no module named');
  assert.ok(text > 0);
  damaged[text] ^= 0x20;
  await WebAssembly.compile(damaged);
  for (const [what, bytes, message] of [
    ['one bit flipped', damaged, /kolvex.wasm is damaged/],
    ['cut short', whole.subarray(0, whole.length >> 1), /kolvex.wasm is damaged/],
  ]) {
    writeFileSync(wasm, bytes);
    const page = await browser.newPage();
    await page.goto(url, {waitUntil: 'load'});
    await page.waitForSelector('body[data-state="error"]', {timeout: 10000});
    const shown = await page.$eval('#error', (e) => (e.hidden || e.offsetHeight === 0 ? '' : e.textContent));
    assert.match(shown, message, what);
    assert.equal(await page.$eval('#render', (b) => b.disabled), true, `${what}: nothing to render`);
    if (what === 'cut short') await page.screenshot({path: join(shots, 'web-damaged.png')});
    await page.close();
  }
});

test('a patch naming another rate than the page\'s is refused on Play, with the reason shown', async () => {
  const patch = join(work, 'rate_22050.json');
  const live = JSON.parse(readFileSync(new URL('patches/live_sine.json', import.meta.url), 'utf8'));
  writeFileSync(patch, JSON.stringify({...live, sample_rate: 22050}));
  const page = await openSite(site('rate_22050', patch));
  await page.click('#play');
  await page.waitForSelector('body[data-state="error"]');
  assert.match(await page.$eval('#error', (e) => e.textContent),
               /rate_22050.json plays at 22050 Hz but this page runs at \d+ Hz/);
  await page.close();
});

