// kvhost panel, the cards: one per module, a control or read-out per pin, values sent as
// `set` (a drag at most 30 times a second) and shown as the server reports them.
import {send} from './connection.js';
import {el} from './dom.js';
import {learnButton} from './learn.js';
import {pitchText} from './pitch.js';
import {page} from './state.js';

const SEND_PERIOD_MS = 33;  // a dragged control sends at most 30 values a second

export function view(module, pin) {
  const pins = page.views[module];
  return pins ? pins[pin] : undefined;
}

export function show(module, pin, value, force) {
  const v = view(module, pin);
  if (v) v.show(value, force);
}

// A reply names the module and pin as the request did: "#N" or the pin's name.
export function showNamed(moduleName, pinName, value, force) {
  if (!page.layout) return;
  const mi = page.layout.modules.findIndex((m) => m.name === moduleName);
  if (mi < 0) return;
  const pins = page.layout.modules[mi].pins;
  const pi = /^#\d+$/.test(pinName) ? Number(pinName.slice(1)) :
    pins.findIndex((p) => p.name === pinName);
  if (pi >= 0) show(mi, pi, value, force);
}

// A control's sender: every value at once, but a drag at most every SEND_PERIOD_MS, the
// last value always sent.
function sender(moduleName, pin) {
  let last = 0;
  let timer = null;
  let waiting = null;
  const flush = () => {
    timer = null;
    if (waiting === null) return;
    last = performance.now();
    send({type: 'set', module: moduleName, pin: '#' + pin.index, value: waiting, id: page.nextId++});
    waiting = null;
  };
  return (value, now) => {
    waiting = String(value);
    if (now || performance.now() - last >= SEND_PERIOD_MS) {
      if (timer) clearTimeout(timer);
      flush();
    } else if (!timer) {
      timer = setTimeout(flush, SEND_PERIOD_MS - (performance.now() - last));
    }
  };
}

// A field the user is typing in keeps the typed text until it is sent or left.
function fieldView(input, row, pin, extra) {
  const v = {row, pin, value: pin.value, editing: false};
  input.value = pin.value;
  input.addEventListener('input', () => { v.editing = true; });
  input.addEventListener('blur', () => {
    if (v.editing) return;  // a change event sends it
    input.value = v.value;
  });
  v.show = (value, force) => {
    v.value = value;
    if (input.dataset.dragging) return;  // the knob's drag ends with its own value
    if (force || !v.editing || document.activeElement !== input) {
      v.editing = false;
      input.value = value;
    }
    if (extra) extra(value);
  };
  return v;
}

// A knob's step a pixel: a round number in the pin's unit, a hundredth of the value's decade
// (0.01 below 10, 0.1 below 100, ...); whole numbers one per 4 pixels. Shift: finer.
export function knobStep(start, whole, shift) {
  if (whole) return shift ? 0.05 : 0.25;
  const decade = 10 ** Math.floor(Math.log10(Math.max(Math.abs(start), 1)));
  return (decade / 100) * (shift ? 0.1 : 1);
}

// `x` on the grid of `step`, written without float noise.
export function onGrid(x, step, whole) {
  if (whole) return String(Math.round(x));
  const places = Math.max(0, Math.ceil(-Math.log10(step) - 1e-9));
  return String(Number((Math.round(x / step) * step).toFixed(places)));
}

function knob(input, pin, push, changed) {
  const k = el('div', {class: 'knob', tabIndex: 0, title: 'drag up or down (Shift: finer)', role: 'slider',
                       'aria-label': pin.name});
  const whole = pin.type === 'integer';
  const turn = (value) => {
    const x = Number(value);
    const angle = Number.isFinite(x) ? -135 + 270 * (0.5 + Math.atan(x / 5) / Math.PI) : -135;
    k.style.transform = `rotate(${angle}deg)`;
  };
  const set = (value, now) => {
    input.value = value;
    turn(value);
    changed(value);
    push(value, now);
  };
  let drag = null;
  k.addEventListener('pointerdown', (e) => {
    const start = Number(input.value);
    drag = {y: e.clientY, start: Number.isFinite(start) ? start : 0};
    input.dataset.dragging = '1';
    k.setPointerCapture(e.pointerId);
    e.preventDefault();
  });
  k.addEventListener('pointermove', (e) => {
    if (!drag) return;
    const step = knobStep(drag.start, whole, e.shiftKey);
    set(onGrid(drag.start + (drag.y - e.clientY) * step, step, whole), false);
  });
  const end = () => {
    if (!drag) return;
    drag = null;
    delete input.dataset.dragging;
    push(input.value, true);
  };
  k.addEventListener('pointerup', end);
  k.addEventListener('pointercancel', end);
  k.addEventListener('keydown', (e) => {
    if (e.key !== 'ArrowUp' && e.key !== 'ArrowDown') return;
    const start = Number(input.value) || 0;
    const step = knobStep(start, whole, e.shiftKey) * 10;
    set(onGrid(start + (e.key === 'ArrowUp' ? step : -step), step, whole), true);
    e.preventDefault();
  });
  turn(pin.value);
  return {element: k, turn};
}

// Beside a pitch's volts: its note, cents and Hz.
function pitchLabel(pin) {
  if (!pin.pitch) return null;
  const span = el('span', {class: 'pitch'});
  const update = (value) => { span.textContent = pitchText(value); };
  update(pin.value);
  return {element: span, update};
}

function choiceControl(pin, row, push) {
  const select = el('select', {class: 'control', 'aria-label': pin.name});
  for (const [label, value] of pin.choices) {
    select.append(el('option', {value: String(value), text: label}));
  }
  const v = {row, pin, value: pin.value};
  v.show = (value) => {
    v.value = value;
    select.value = value;
    if (select.value !== value) {
      // A value outside the list: shown as it is.
      select.append(el('option', {value, text: value}));
      select.value = value;
    }
  };
  v.show(pin.value);
  select.addEventListener('change', () => push(select.value, true));
  return {element: select, view: v};
}

function fieldControl(pin, row, push, number) {
  const input = el('input', {type: 'text', class: `${number ? 'num' : 'text'} control`, spellcheck: false,
                             'aria-label': pin.name});
  if (number) input.inputMode = 'decimal';
  const pitch = pitchLabel(pin);
  const changed = (value) => { if (pitch) pitch.update(value); };
  const k = number ? knob(input, pin, push, changed) : null;
  const v = fieldView(input, row, pin, (value) => {
    if (k) k.turn(value);
    changed(value);
  });
  input.addEventListener('change', () => {
    v.editing = false;
    v.value = input.value;  // kept on leaving the field; a refusal puts the old one back
    push(input.value, true);
  });
  if (!number) return {element: input, view: v};
  return {element: el('div', {class: 'number-field'}, k.element, input, pitch && pitch.element), view: v};
}

function sliderControl(pin, row, push) {
  const range = el('input', {type: 'range', class: 'control', min: String(pin.low),
                             max: String(pin.high), step: String((pin.high - pin.low) / 1000),
                             'aria-label': pin.name});
  const out = el('output', {text: pin.value});
  const v = {row, pin, value: pin.value, dragging: false};
  v.show = (value) => {
    v.value = value;
    out.textContent = value;
    if (!v.dragging) range.value = value;
  };
  range.value = pin.value;
  range.addEventListener('pointerdown', () => { v.dragging = true; });
  range.addEventListener('pointerup', () => { v.dragging = false; });
  range.addEventListener('input', () => push(range.value, false));
  range.addEventListener('change', () => { v.dragging = false; push(range.value, true); });
  return {element: el('div', {class: 'number-field'}, range, out), view: v};
}

// A read-out: a choice by its label, a sample pin with its unit (and note, for a pitch).
function readout(pin, row) {
  const label = (value) => {
    const c = (pin.choices || []).find(([, n]) => String(n) === value);
    return c ? c[0] : value;
  };
  const out = el('output', {text: label(pin.value)});
  const unit = pin.type === 'samples' ? el('span', {class: 'unit', text: 'V'}) : null;
  const pitch = pitchLabel(pin);
  const v = {row, pin, value: pin.value};
  v.show = (value) => {
    v.value = value;
    out.textContent = label(value);
    if (pitch) pitch.update(value);
  };
  return {element: el('span', {class: 'readout'}, out, unit, pitch && pitch.element), view: v};
}

function control(module, pin, row) {
  const push = sender(module.name, pin);
  switch (pin.control) {
    case 'choice':
      return choiceControl(pin, row, push);
    case 'number':
      return fieldControl(pin, row, push, true);
    case 'text':
      return fieldControl(pin, row, push, false);
    case 'slider':
      return sliderControl(pin, row, push);
    case 'scope': {
      const canvas = el('canvas', {class: 'scope', width: 200, height: 56});
      const v = {row, pin, value: pin.value, canvas, show: (value) => { v.value = value; }};
      return {element: canvas, view: v};
    }
    case 'midi': {
      const v = {row, pin, value: '', show: () => {}};
      const text = page.layout.midi_input ? 'notes from the keyboard' : 'MIDI';
      return {element: el('span', {class: 'note', text}), view: v};
    }
    default:
      return readout(pin, row);
  }
}

export function card(module, mi, layout) {
  const section = el('section', {class: 'card', 'data-module': module.name});
  section.append(el('h2', {}, module.name, el('span', {class: 'plugin', text: module.plugin})));
  if (module.about.trim() !== '') {
    section.append(el('details', {}, el('summary', {text: 'About'}), el('pre', {text: module.about})));
  }
  const counts = new Map();
  for (const p of module.pins) counts.set(p.name, (counts.get(p.name) || 0) + 1);
  const table = el('table', {}, el('colgroup', {}, el('col', {class: 'name'}), el('col', {class: 'value'}),
                                    el('col', {class: 'kind'})));
  page.views[mi] = [];
  for (const pin of module.pins) {
    const row = el('tr', {class: `pin-${pin.control}`, 'data-module': module.name, 'data-pin': String(pin.index)});
    // A label wraps where it must, and shows whole on hover.
    const label = el('th', {title: `${pin.name} (#${pin.index}, ${pin.type} ${pin.direction})`}, pin.name);
    if (counts.get(pin.name) > 1) label.append(el('span', {class: 'index', text: '#' + pin.index}));
    const {element, view: v} = control(module, pin, row);
    // A number field's learn button sits beside its knob and field.
    const learn = learnButton(module.name, mi, pin);
    if (learn && element.classList.contains('number-field')) element.append(learn);
    const cell = el('td', {class: 'value'}, element, element.contains(learn) ? null : learn);
    if (pin.note) cell.append(el('span', {class: 'note', text: pin.note}));
    row.append(label, cell, el('td', {class: 'kind', text: `${pin.type} ${pin.direction}`}));
    table.append(row);
    page.views[mi][pin.index] = v;
  }
  section.append(table);
  const wires = layout.wires.filter((w) => w.from[0] === module.name || w.to[0] === module.name);
  if (wires.length > 0) {
    const list = el('ul', {class: 'wires'});
    for (const w of wires) list.append(el('li', {text: `${w.from.join('.')} → ${w.to.join('.')}`}));
    section.append(el('div', {class: 'note', text: 'Wires'}), list);
  }
  return section;
}
