// kvhost web: the page's main thread. Loads the site (site.json names the patch and its MIDI
// file), compiles kolvex.wasm once, opens the patch in an engine of its own to check it and
// learn its facts, and hands the compiled program to an audio worklet for each rendering:
// offline (Render to WAV, at the patch's rate, with its MIDI file, as `kvhost render`) and live
// (Play, at the page's rate, with the keyboard). The panel's cards, scopes and spectrum
// (cards.js) set pin values through the worklet's port. window.kolvexPage exposes the steps.
import {buildCards, fromWorklet, playing, settings} from './cards.js';
import {crc32, makeEngine} from './engine.js';
import {wavFile} from './wav.js';
import {buildKeyboard} from './keys.js';

const $ = (id) => document.getElementById(id);
const site = {};   // name, patch (text), midi (bytes or null), midiName, module, info
const live = {};   // context, node, recording (channels of chunks)

function showError(message) {
  const e = $('error');
  e.textContent = message;
  e.hidden = false;
  document.body.dataset.state = 'error';
}

async function fetchFile(name, as) {
  let response;
  try {
    response = await fetch(name.split('/').map(encodeURIComponent).join('/'));
  } catch (e) {
    throw new Error(`${name} cannot be fetched: ${e.message}`);
  }
  if (!response.ok) throw new Error(`${name} cannot be fetched: ${response.status} ${response.statusText}`);
  return as === 'text' ? response.text() : as === 'json' ? response.json() : response.arrayBuffer();
}

async function load() {
  const names = await fetchFile('site.json', 'json');
  const [patch, wasm, midi] = await Promise.all([
    fetchFile(`patch/${names.patch}`, 'text'), fetchFile('kolvex.wasm', 'bytes'),
    names.midi ? fetchFile(`patch/${names.midi}`, 'bytes') : null]);
  if (crc32(wasm) !== names.wasm_crc32) {
    throw new Error(`kolvex.wasm is damaged: it is not the program this site was written with ` +
                    `(CRC-32 ${crc32(wasm)}, expected ${names.wasm_crc32}); write the site again with kvhost web`);
  }
  try {
    site.module = await WebAssembly.compile(wasm);
  } catch (e) {
    throw new Error(`kolvex.wasm is not a usable WebAssembly program (${e.message}); write the site again with kvhost web`);
  }
  Object.assign(site, {name: names.patch, patch, midi, midiName: names.midi});
  const engine = makeEngine(site.module);
  engine.open(patch, site.name, 0);
  site.info = midi ? engine.midiFile(midi, site.midiName) : engine.info;
  const i = site.info;
  $('title').textContent = site.name;
  $('facts').textContent = `renders at ${i.sample_rate} Hz, block ${i.block_size}, ${i.channels} channel${i.channels === 1 ? '' : 's'}, ` +
    `${(i.length / i.sample_rate).toFixed(2)} s${site.midiName ? ` with ${site.midiName}` : ''}`;
  $('modules').textContent = engine.modules().map((m) => m.deliverable).join(', ');
  buildCards(engine, i.outputs);
  $('with-midi').disabled = !midi;
  $('render').disabled = false;
  $('play').disabled = false;
  if (i.midi_input) {
    $('keyboard').hidden = false;
    $('keys-hint').hidden = false;
    buildKeyboard($('keyboard'), (on, key) => send({type: 'midi', bytes: [on ? 0x90 : 0x80, key, on ? 100 : 64]}));
    webMidi();
  }
  document.body.dataset.state = 'ready';
}

// The worklet node running the patch in `context` at `rate` (0: the patch's own), ready to play.
async function patchNode(context, rate, withMidi, onMessage, isLive = false) {
  await context.audioWorklet.addModule('worklet.js');
  const node = new AudioWorkletNode(context, 'kolvex', {
    numberOfInputs: 0, numberOfOutputs: 1, outputChannelCount: [site.info.channels],
    processorOptions: {module: site.module, patch: site.patch, name: site.name, rate,
                       midi: withMidi ? site.midi : null, midiName: site.midiName, live: isLive,
                       settings: settings()},
  });
  await new Promise((resolve, reject) => {
    node.port.onmessage = (event) => {
      const m = event.data;
      if (m.type === 'ready') resolve();
      else if (m.type === 'error') reject(new Error(m.message));
    };
  });
  node.port.onmessage = (event) => onMessage(event.data);
  node.connect(context.destination);
  return node;
}

function offer(link, channels, rate, name) {
  if (link.href) URL.revokeObjectURL(link.href);
  link.href = URL.createObjectURL(new Blob([wavFile(channels, rate)], {type: 'audio/wav'}));
  link.download = name;
  link.textContent = `download ${name}`;
  link.hidden = false;
}

const baseName = () => site.name.replace(/\.json$/i, '');

// The whole patch with its MIDI file at the patch's rate, as `kvhost render` renders it.
async function renderOffline() {
  const i = site.info;
  const context = new OfflineAudioContext({numberOfChannels: i.channels, length: i.length, sampleRate: i.sample_rate});
  await patchNode(context, 0, true, (m) => { if (m.type === 'error' && m.module === undefined) showError(m.message); });
  const buffer = await context.startRendering();
  const channels = Array.from({length: buffer.numberOfChannels}, (_, c) => buffer.getChannelData(c));
  offer($('render-file'), channels, buffer.sampleRate, `${baseName()}.wav`);
  return channels;
}

function onLive(m) {
  if (fromWorklet(m)) return;
  if (m.type === 'error') showError(m.message);
  else if (m.type === 'frames' && live.recording) live.recording.push(m.channels);
  else if (m.type === 'load') $('dsp-load').textContent = `DSP ${(100 * m.load).toFixed(1)} %`;
}

// Web MIDI keyboards, where the browser offers them: their channel messages reach the patch's
// MIDI input as the page's own keys do, and the header names them.
function fromWebMidi(bytes) {
  const status = bytes[0];
  if (status < 0x80 || status >= 0xF0) return;  // system and real-time bytes go nowhere
  const size = (status & 0xE0) === 0xC0 ? 2 : 3;  // program change and channel pressure: 2
  if (bytes.length < size) return;
  send({type: 'midi', bytes: [status, bytes[1], size === 3 ? bytes[2] : 0]});
}

async function webMidi() {
  const shown = $('web-midi');
  if (!navigator.requestMIDIAccess) {
    shown.textContent = 'Web MIDI: not offered by this browser';
    return;
  }
  shown.textContent = 'Web MIDI: asking the browser';
  let access;
  try {
    access = await navigator.requestMIDIAccess();
  } catch (e) {
    shown.textContent = `Web MIDI: not allowed (${e.message || e.name})`;
    return;
  }
  const listen = () => {
    const inputs = [...access.inputs.values()];
    for (const input of inputs) input.onmidimessage = (event) => fromWebMidi(event.data);
    shown.textContent = inputs.length ? `Web MIDI: ${inputs.map((i) => i.name || i.id).join(', ')}`
                                      : 'Web MIDI: none found';
  };
  access.onstatechange = listen;
  listen();
}

function send(message) {
  if (live.node) live.node.port.postMessage(message);
}

async function play() {
  if (!live.context) {
    live.context = new AudioContext({latencyHint: 'interactive'});
    live.node = await patchNode(live.context, live.context.sampleRate, $('with-midi').checked, onLive, true);
    playing(live.node.port);
    $('record').disabled = false;
  }
  await live.context.resume();
  $('with-midi').disabled = true;  // taken when playing starts
  $('play-state').textContent = `playing at ${live.context.sampleRate} Hz`;
  // Values and notes reach the worklet through its message port, in the order sent.
  $('transport').textContent = 'values cross through message ports';
  document.body.dataset.play = 'on';
}

// Recording what plays: the worklet's frames, offered as a WAV file when it stops.
async function record() {
  const button = $('record');
  if (!live.recording) {
    live.recording = [];
    send({type: 'record', on: true});
    button.setAttribute('aria-pressed', 'true');
    return;
  }
  send({type: 'record', on: false});
  await new Promise((r) => setTimeout(r, 100));  // the last frames on their way
  const chunks = live.recording;
  live.recording = null;
  button.setAttribute('aria-pressed', 'false');
  const channels = Array.from({length: site.info.channels}, (_, c) => {
    const all = new Float32Array(chunks.reduce((n, chunk) => n + chunk[c].length, 0));
    let at = 0;
    for (const chunk of chunks) { all.set(chunk[c], at); at += chunk[c].length; }
    return all;
  });
  offer($('record-file'), channels, live.context.sampleRate, `${baseName()}-live.wav`);
  return channels;
}

const guarded = (work) => async () => {
  try {
    return await work();
  } catch (e) {
    showError(e.message || String(e));
    throw e;
  }
};

// A pin value for the playing patch, checked there as a patch setting is (a refusal shows).
function set(module, pin, value) {
  send({type: 'set', module, pin, value: String(value)});
}

window.kolvexPage = {renderOffline: guarded(renderOffline), play: guarded(play), record: guarded(record), set};
$('render').addEventListener('click', async () => {
  $('render').disabled = true;
  $('render-state').textContent = 'rendering…';
  document.body.dataset.render = 'busy';
  await window.kolvexPage.renderOffline().then(() => {
    $('render-state').textContent = 'done';
    document.body.dataset.render = 'done';
  }, () => { $('render-state').textContent = 'failed'; });
  $('render').disabled = false;
});
$('play').addEventListener('click', () => window.kolvexPage.play().catch(() => {}));
$('record').addEventListener('click', () => window.kolvexPage.record().catch(() => {}));
load().catch((e) => showError(e.message || String(e)));
