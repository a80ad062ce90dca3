// kvhost web: the panel's cards, scopes and spectrum on the page, built by the panel's own
// modules (controls.js, drawing.js, ... copied beside the page) from the layout kolvex.wasm
// gives (kv_layout, the panel server's "layout" message). Their transport is the page's: a
// value set while nothing plays is checked by the page's own engine and kept; while playing it
// goes to the worklet through its message port, which answers with the value held or the
// refusal, as the panel's server does. Every value kept is set again in each new rendering.
import {useTransport} from './connection.js';
import {card, show, showNamed} from './controls.js';
import {el, showError} from './dom.js';
import {drawScope, drawSpectrum} from './drawing.js';
import {page} from './state.js';
import {scopeFrame, spectrumFrame} from './spectrum.js';

const cards = {
  engine: null,         // the page's engine, for values set while nothing plays
  port: null,           // the playing worklet's port, or null
  settings: new Map(),  // "module\0pin" -> [module, pin, value]: the values set, in order
  scopes: [],           // per output channel: [module index, pin index] of its scope, or null
  drawn: 0,             // windows drawn (the tests wait for them)
};

function keep(module, pin, value) {
  const key = `${module}\u0000${pin}`;
  cards.settings.delete(key);  // set again after the others, as it was set last
  cards.settings.set(key, [module, pin, value]);
}

// A `set` from a control: to the worklet while playing, else checked here.
function deliver(message) {
  if (message.type !== 'set') {
    showError(`the page does not do "${message.type}"`);
    return false;
  }
  if (cards.port) {
    cards.port.postMessage({type: 'set', module: message.module, pin: message.pin, value: message.value,
                            id: message.id});
    return true;
  }
  answer(cards.engine.answerSet(message));
  return true;
}

// A set's answer, from the worklet or the page's engine.
function answer(m) {
  if (m.type === 'value') {
    keep(m.module, m.pin, m.value);
    showNamed(m.module, m.pin, m.value);
  } else {
    showError(m.message);
    if (m.value !== undefined) showNamed(m.module, m.pin, m.value, true);
  }
}

// The cards of `engine`'s open patch in #modules, the spectrum's choice of outputs; `outputs`
// names each channel's [module, pin] as the patch does.
export function buildCards(engine, outputs) {
  cards.engine = engine;
  const layout = engine.layout();
  page.layout = layout;
  page.views = [];
  document.getElementById('cards').replaceChildren(...layout.modules.map((m, i) => card(m, i, layout)));
  cards.scopes = outputs.map(([module, pinName]) => {
    const mi = layout.modules.findIndex((m) => m.name === module);
    if (mi < 0) return null;
    const pins = layout.modules[mi].pins;
    const pin = /^#\d+$/.test(pinName) ? pins.find((p) => p.index === Number(pinName.slice(1)))
                                       : pins.find((p) => p.name === pinName);
    return pin && pin.control === 'scope' ? [mi, pin.index] : null;
  });
  const select = document.getElementById('spectrum-source');
  select.replaceChildren(...cards.scopes.map((s, c) => s && el('option', {
    value: String(c), text: `${layout.modules[s[0]].name}.${layout.modules[s[0]].pins.find((p) => p.index === s[1]).name}`,
  })).filter(Boolean));
  document.getElementById('spectrum').hidden = select.options.length === 0;
  useTransport(deliver);
  document.body.dataset.layout = 'ready';
}

// The values set so far, for a new rendering: [[module, pin, value]].
export function settings() {
  return [...cards.settings.values()];
}

// The worklet playing live (its port), or none (null): where values go.
export function playing(port) {
  cards.port = port;
}

// What the playing worklet sent that the cards take; false for the others.
export function fromWorklet(m) {
  if (m.type === 'value' || (m.type === 'error' && m.module !== undefined)) {
    answer(m);
    return true;
  }
  if (m.type === 'pins') {
    for (const [module, pin, value] of m.changes) show(module, pin, value);
    return true;
  }
  if (m.type !== 'window') return false;
  const channels = m.samples.length / m.frames;
  for (let c = 0; c < channels; ++c) {
    const s = cards.scopes[c];
    if (!s) continue;
    const samples = m.samples.subarray(c * m.frames, (c + 1) * m.frames);
    drawScope({module: s[0], pin: s[1], rate: m.rate, ...scopeFrame(samples, m.rate)});
  }
  const chosen = Number(document.getElementById('spectrum-source').value);
  if (Number.isInteger(chosen) && chosen < channels && !document.getElementById('spectrum').hidden) {
    drawSpectrum(spectrumFrame(m.samples.subarray(chosen * m.frames, (chosen + 1) * m.frames), m.rate));
  }
  document.body.dataset.drawn = String(++cards.drawn);
  if (cards.port) cards.port.postMessage({type: 'window-back', samples: m.samples}, [m.samples.buffer]);
  return true;
}
