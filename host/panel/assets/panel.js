// kvhost panel, the page's side: one card per module built from the layout the server sends,
// controls that send `set`, read-outs and scopes kept live from what the server pushes, a
// spectrum view and a keyboard for the patch's live MIDI input.
'use strict';

(() => {
  const SEND_PERIOD_MS = 33;  // a dragged control sends at most 30 values a second
  const ERRORS_SHOWN = 5;
  const ERROR_MS = 12000;
  const NOTE_NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];

  const page = {
    socket: null,
    layout: null,
    views: [],         // [module][pin] -> view {row, show(value), value, pin}
    nextId: 1,
    octave: 4,
    held: new Map(),   // computer key (or pointer) -> MIDI key sounding
    midiAsked: false,  // MIDI keyboards asked for (once a patch takes notes)
  };

  // ---- Building elements (text only: names and about texts come from modules) ----

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(props || {})) {
      if (k === 'class') e.className = v;
      else if (k === 'text') e.textContent = v;
      else if (k.startsWith('data-') || k === 'title' || k === 'type' || k === 'role' ||
               k.startsWith('aria-')) e.setAttribute(k, v);
      else e[k] = v;
    }
    for (const c of children) if (c != null) e.append(c);
    return e;
  }

  function showError(text) {
    const box = document.getElementById('errors');
    const close = el('button', {type: 'button', title: 'dismiss', text: '×'});
    const item = el('div', {class: 'error'}, el('span', {text}), close);
    close.addEventListener('click', () => item.remove());
    box.prepend(item);
    while (box.children.length > ERRORS_SHOWN) box.lastChild.remove();
    setTimeout(() => item.remove(), ERROR_MS);
  }

  // ---- The connection ----

  function send(message) {
    if (page.socket && page.socket.readyState === WebSocket.OPEN) {
      page.socket.send(JSON.stringify(message));
      return true;
    }
    showError('not connected: the change was not sent');
    return false;
  }

  function connect() {
    const socket = new WebSocket(`ws://${location.host}/ws`);
    page.socket = socket;
    socket.addEventListener('open', () => {
      document.body.dataset.link = 'up';
      document.getElementById('link').textContent = 'connected';
    });
    socket.addEventListener('message', (event) => {
      let m;
      try {
        m = JSON.parse(event.data);
      } catch (e) {
        showError('the server sent something that is not JSON');
        return;
      }
      receive(m);
    });
    socket.addEventListener('close', () => {
      document.body.dataset.link = 'down';
      document.getElementById('link').textContent = 'disconnected, retrying…';
      releaseAll();
      setTimeout(connect, 1000);
    });
  }

  function receive(m) {
    switch (m.type) {
      case 'layout':
        build(m);
        break;
      case 'pins':
        for (const [module, pin, value] of m.changes) show(module, pin, value);
        break;
      case 'value':
        showNamed(m.module, m.pin, m.value);
        break;
      case 'error':
        showError(m.message);
        if (m.module !== undefined && m.value !== undefined) showNamed(m.module, m.pin, m.value, true);
        break;
      case 'scope':
        for (const f of m.frames) drawScope(f);
        break;
      case 'spectrum':
        drawSpectrum(m);
        break;
      default:
        break;
    }
  }

  function view(module, pin) {
    const pins = page.views[module];
    return pins ? pins[pin] : undefined;
  }

  function show(module, pin, value, force) {
    const v = view(module, pin);
    if (v) v.show(value, force);
  }

  // A reply names the module and pin as the request did: "#N" or the pin's name.
  function showNamed(moduleName, pinName, value, force) {
    if (!page.layout) return;
    const mi = page.layout.modules.findIndex((m) => m.name === moduleName);
    if (mi < 0) return;
    const pins = page.layout.modules[mi].pins;
    const pi = /^#\d+$/.test(pinName) ? Number(pinName.slice(1)) :
      pins.findIndex((p) => p.name === pinName);
    if (pi >= 0) show(mi, pi, value, force);
  }

  // ---- Sending values ----

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

  function knob(input, pin, push) {
    const k = el('div', {class: 'knob', tabIndex: 0, title: 'drag up or down (Shift: finer)', role: 'slider',
                         'aria-label': pin.name});
    const whole = pin.type === 'integer';
    const turn = (value) => {
      const x = Number(value);
      const angle = Number.isFinite(x) ? -135 + 270 * (0.5 + Math.atan(x / 5) / Math.PI) : -135;
      k.style.transform = `rotate(${angle}deg)`;
    };
    const step = (start, shift) => {
      if (whole) return shift ? 0.05 : 0.25;
      return Math.max(0.01, Math.abs(start) * 0.01) * (shift ? 0.1 : 1);
    };
    const tidy = (x) => whole ? String(Math.round(x)) : String(Number(x.toPrecision(6)));
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
      const value = tidy(drag.start + (drag.y - e.clientY) * step(drag.start, e.shiftKey));
      input.value = value;
      turn(value);
      push(value, false);
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
      const by = (e.key === 'ArrowUp' ? 1 : -1) * step(start, e.shiftKey) * 10;
      const value = tidy(start + by);
      input.value = value;
      turn(value);
      push(value, true);
      e.preventDefault();
    });
    turn(pin.value);
    return {element: k, turn};
  }

  // ---- The cards ----

  function control(module, pin, row) {
    const push = sender(module.name, pin);
    switch (pin.control) {
      case 'choice': {
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
      case 'number': {
        const input = el('input', {type: 'text', class: 'num control', inputMode: 'decimal',
                                   spellcheck: false, 'aria-label': pin.name});
        const k = knob(input, pin, push);
        const v = fieldView(input, row, pin, k.turn);
        input.addEventListener('change', () => {
          v.editing = false;
          v.value = input.value;  // kept on leaving the field; a refusal puts the old one back
          push(input.value, true);
        });
        return {element: el('div', {class: 'number-field'}, k.element, input), view: v};
      }
      case 'text': {
        const input = el('input', {type: 'text', class: 'text control', spellcheck: false,
                                   'aria-label': pin.name});
        const v = fieldView(input, row, pin);
        input.addEventListener('change', () => {
          v.editing = false;
          v.value = input.value;  // kept on leaving the field; a refusal puts the old one back
          push(input.value, true);
        });
        return {element: input, view: v};
      }
      case 'slider': {
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
      default: {
        // A choice read-out names its value.
        const label = (value) => {
          const c = (pin.choices || []).find(([, n]) => String(n) === value);
          return c ? c[0] : value;
        };
        const out = el('output', {text: label(pin.value)});
        const v = {row, pin, value: pin.value, show: (value) => { v.value = value; out.textContent = label(value); }};
        return {element: out, view: v};
      }
    }
  }

  function kindText(pin) {
    return `${pin.type} ${pin.direction}`;
  }

  function card(module, mi, layout) {
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
      const label = el('th', {}, pin.name);
      if (counts.get(pin.name) > 1) label.append(el('span', {class: 'index', text: '#' + pin.index}));
      const {element, view: v} = control(module, pin, row);
      const cell = el('td', {class: 'value'}, element);
      if (pin.note) cell.append(el('span', {class: 'note', text: pin.note}));
      row.append(label, cell, el('td', {class: 'kind', text: kindText(pin)}));
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

  function build(layout) {
    page.layout = layout;
    page.views = [];
    document.getElementById('title').textContent = layout.title;
    document.getElementById('mode').textContent = layout.mode;
    document.title = `kvhost panel: ${layout.title}`;
    const main = document.getElementById('modules');
    main.replaceChildren(...layout.modules.map((m, i) => card(m, i, layout)));
    document.getElementById('keys').hidden = !layout.midi_input;
    if (layout.midi_input) {
      buildKeyboard();
      if (!page.midiAsked) {
        page.midiAsked = true;
        listenToMidi();
      }
    }
    const sources = [];
    layout.modules.forEach((m) => m.pins.forEach((p) => {
      if (p.control === 'scope') sources.push([m.name, p]);
    }));
    const select = document.getElementById('spectrum-source');
    select.replaceChildren(...sources.map(([name, p]) =>
      el('option', {value: JSON.stringify([name, '#' + p.index]), text: `${name}.${p.name}`})));
    document.getElementById('spectrum').hidden = sources.length === 0;
    if (sources.length > 0) watch();
    document.body.dataset.layout = 'ready';
  }

  // ---- Scopes and the spectrum ----

  function drawScope(frame) {
    const v = view(frame.module, frame.pin);
    if (!v || !v.canvas) return;
    const c = v.canvas;
    const g = c.getContext('2d');
    const w = c.width;
    const h = c.height;
    g.clearRect(0, 0, w, h);
    g.strokeStyle = '#2a2e35';
    g.beginPath();
    g.moveTo(0, h / 2);
    g.lineTo(w, h / 2);
    g.stroke();
    const volts = frame.volts;
    if (volts.length === 0) return;
    let top = 1;
    for (const x of volts) top = Math.max(top, Math.abs(x));
    top *= 1.1;
    g.strokeStyle = getComputedStyle(document.documentElement).getPropertyValue('--wave') || '#5fd0a0';
    g.beginPath();
    volts.forEach((x, i) => {
      const px = volts.length > 1 ? (i / (volts.length - 1)) * w : w / 2;
      const py = h / 2 - (x / top) * (h / 2 - 2);
      if (i === 0) g.moveTo(px, py); else g.lineTo(px, py);
    });
    g.stroke();
    g.fillStyle = '#6a707a';
    g.font = '9px sans-serif';
    g.fillText(`±${top.toPrecision(2)} V`, 3, 10);
  }

  function noteName(hz) {
    const n = 69 + 12 * Math.log2(hz / 440);
    const key = Math.round(n);
    const cents = Math.round((n - key) * 100);
    return `${NOTE_NAMES[((key % 12) + 12) % 12]}${Math.floor(key / 12) - 1} ${cents >= 0 ? '+' : ''}${cents} ct`;
  }

  function drawSpectrum(m) {
    const c = document.getElementById('spectrum-view');
    const g = c.getContext('2d');
    const w = c.width;
    const h = c.height;
    const low = 20;
    const high = m.rate / 2;
    const x = (hz) => (Math.log(hz / low) / Math.log(high / low)) * w;
    const y = (db) => Math.min(h, Math.max(0, (-db / 120) * h));
    g.clearRect(0, 0, w, h);
    g.strokeStyle = '#2a2e35';
    g.fillStyle = '#6a707a';
    g.font = '10px sans-serif';
    for (const hz of [50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]) {
      if (hz >= high) break;
      g.beginPath();
      g.moveTo(x(hz), 0);
      g.lineTo(x(hz), h);
      g.stroke();
      g.fillText(hz >= 1000 ? `${hz / 1000}k` : String(hz), x(hz) + 2, h - 3);
    }
    for (let db = -20; db > -120; db -= 20) {
      g.beginPath();
      g.moveTo(0, y(db));
      g.lineTo(w, y(db));
      g.stroke();
      g.fillText(`${db} dB`, 2, y(db) - 2);
    }
    g.strokeStyle = '#5fd0a0';
    g.beginPath();
    m.hz.forEach((hz, i) => {
      if (i === 0) g.moveTo(x(hz), y(m.db[i])); else g.lineTo(x(hz), y(m.db[i]));
    });
    g.stroke();
    const label = document.getElementById('fundamental');
    if (m.fundamental_hz > 0) {
      g.strokeStyle = '#f0a030';
      g.beginPath();
      g.moveTo(x(m.fundamental_hz), 0);
      g.lineTo(x(m.fundamental_hz), h);
      g.stroke();
      label.textContent = `fundamental ${m.fundamental_hz.toFixed(1)} Hz (${noteName(m.fundamental_hz)})`;
    } else {
      label.textContent = 'no fundamental (silence)';
    }
    label.dataset.hz = String(m.fundamental_hz);
  }

  function watch() {
    const select = document.getElementById('spectrum-source');
    if (!select.value) return;
    const [module, pin] = JSON.parse(select.value);
    send({type: 'watch', module, pin});
  }

  // ---- The keyboard: mouse, computer keys, MIDI keyboards the browser offers ----

  const KEY_ROW = ['a', 'w', 's', 'e', 'd', 'f', 't', 'g', 'y', 'h', 'u', 'j', 'k', 'o', 'l', 'p', ';', "'"];

  function note(on, key, velocity) {
    if (key < 0 || key > 127) return;
    send({type: 'note', on, key, velocity: on ? velocity : 0});
    const k = document.querySelector(`.key[data-key="${key}"]`);
    if (k) k.classList.toggle('down', on);
  }

  function releaseAll() {
    for (const key of page.held.values()) {
      const k = document.querySelector(`.key[data-key="${key}"]`);
      if (k) k.classList.remove('down');
    }
    page.held.clear();
  }

  function buildKeyboard() {
    const board = document.getElementById('keyboard');
    const first = 12 * (page.octave + 1);  // C of the octave
    const keys = [];
    const white = 34;
    let whites = 0;
    for (let key = first; key <= first + 24; key++) {
      const black = [1, 3, 6, 8, 10].includes(key % 12);
      const k = el('div', {class: `key ${black ? 'black' : 'white'}`, 'data-key': String(key),
                           title: `${NOTE_NAMES[key % 12]}${Math.floor(key / 12) - 1} (${key})`});
      if (black) {
        k.style.left = `${whites * white - 11}px`;
        k.style.width = '22px';
      } else {
        k.style.left = `${whites * white}px`;
        k.style.width = `${white}px`;
        if (key % 12 === 0) k.append(el('span', {text: `C${Math.floor(key / 12) - 1}`}));
        whites++;
      }
      const pointer = `pointer:${key}`;
      k.addEventListener('pointerdown', (e) => {
        k.setPointerCapture(e.pointerId);
        page.held.set(pointer, key);
        note(true, key, 100);
      });
      const up = () => {
        if (!page.held.has(pointer)) return;
        page.held.delete(pointer);
        note(false, key, 0);
      };
      k.addEventListener('pointerup', up);
      k.addEventListener('pointercancel', up);
      keys.push(k);
    }
    board.style.width = `${whites * white}px`;
    board.replaceChildren(...keys);
    document.getElementById('octave').textContent = `C${page.octave}`;
  }

  function typing(target) {
    return target instanceof HTMLInputElement || target instanceof HTMLSelectElement ||
      target instanceof HTMLTextAreaElement;
  }

  function shiftOctave(by) {
    page.octave = Math.min(8, Math.max(0, page.octave + by));
    buildKeyboard();
  }

  document.addEventListener('keydown', (e) => {
    if (!page.layout || !page.layout.midi_input || typing(e.target) || e.ctrlKey || e.metaKey || e.altKey) return;
    const name = e.key.toLowerCase();
    if (name === 'z' || name === 'x') {
      shiftOctave(name === 'z' ? -1 : 1);
      return;
    }
    const at = KEY_ROW.indexOf(name);
    if (at < 0 || e.repeat || page.held.has(name)) return;
    const key = 12 * (page.octave + 1) + at;
    page.held.set(name, key);
    note(true, key, 100);
    e.preventDefault();
  });
  document.addEventListener('keyup', (e) => {
    const name = e.key.toLowerCase();
    if (!page.held.has(name)) return;
    const key = page.held.get(name);
    page.held.delete(name);
    note(false, key, 0);
  });
  window.addEventListener('blur', () => {
    for (const [name, key] of page.held) note(false, key, 0);
    page.held.clear();
  });

  function listenToMidi() {
    const devices = document.getElementById('midi-devices');
    if (!navigator.requestMIDIAccess) {
      devices.textContent = 'this browser offers no MIDI keyboards';
      return;
    }
    navigator.requestMIDIAccess({sysex: false}).then((access) => {
      const bind = () => {
        const names = [];
        for (const input of access.inputs.values()) {
          names.push(input.name);
          input.onmidimessage = (event) => {
            const [status, key, velocity] = event.data;
            const kind = status & 0xf0;
            if (kind === 0x90 && velocity > 0) note(true, key, velocity);
            else if (kind === 0x80 || kind === 0x90) note(false, key, 0);
          };
        }
        devices.textContent = names.length > 0 ? `MIDI keyboards: ${names.join(', ')}` : 'no MIDI keyboard connected';
      };
      bind();
      access.onstatechange = bind;
    }, () => {
      devices.textContent = 'MIDI keyboards not allowed';
    });
  }

  document.getElementById('octave-down').addEventListener('click', () => shiftOctave(-1));
  document.getElementById('octave-up').addEventListener('click', () => shiftOctave(1));
  document.getElementById('spectrum-source').addEventListener('change', watch);
  connect();
})();
