// kvhost panel, the keyboard for the patch's live MIDI input: pointers gliding from key to
// key, computer keys, MIDI keyboards the browser offers (Web MIDI), and a panic button. A key
// held when the keyboard is rebuilt (an octave change) is let go first.
import {send} from './connection.js';
import {el} from './dom.js';
import {keyName} from './pitch.js';
import {page} from './state.js';

const KEY_ROW = ['a', 'w', 's', 'e', 'd', 'f', 't', 'g', 'y', 'h', 'u', 'j', 'k', 'o', 'l', 'p', ';', "'"];
const KEYS_SHOWN = 25;     // two octaves and the next C
const BLACK_WIDTH = 0.65;  // of a white key

function mark(key, down) {
  const k = document.querySelector(`#keyboard .key[data-key="${key}"]`);
  if (k) k.classList.toggle('down', down);
}

function note(on, key, velocity) {
  if (key < 0 || key > 127) return;
  send({type: 'note', on, key, velocity: on ? velocity : 0}, !on);
  mark(key, on);
}

// Every key this page holds let go; `tell`: with a note-off for each (not when the server
// already let them go).
export function releaseAll(tell) {
  for (const key of page.held.values()) {
    if (tell) note(false, key, 0); else mark(key, false);
  }
  page.held.clear();
  for (const [id, key] of page.pointers) {
    if (key === null) continue;
    if (tell) note(false, key, 0); else mark(key, false);
    page.pointers.set(id, null);
  }
}

// The key under a pointer, or null.
function keyAt(board, e) {
  const hit = document.elementFromPoint(e.clientX, e.clientY);
  const k = hit && hit.closest('.key');
  return k && board.contains(k) ? Number(k.dataset.key) : null;
}

// A pointer moved to `key` (null: off the keys): the key it held let go, the new one struck.
function glide(id, key) {
  const was = page.pointers.get(id);
  if (was === key) return;
  if (was !== null && was !== undefined) note(false, was, 0);
  if (key !== null) note(true, key, 100);
  page.pointers.set(id, key);
}

function listenToPointers(board) {
  board.addEventListener('pointerdown', (e) => {
    board.setPointerCapture(e.pointerId);
    glide(e.pointerId, keyAt(board, e));
    e.preventDefault();
  });
  board.addEventListener('pointermove', (e) => {
    if (page.pointers.has(e.pointerId)) glide(e.pointerId, keyAt(board, e));
  });
  const up = (e) => {
    if (!page.pointers.has(e.pointerId)) return;
    glide(e.pointerId, null);
    page.pointers.delete(e.pointerId);
  };
  board.addEventListener('pointerup', up);
  board.addEventListener('pointercancel', up);
}

export function buildKeyboard() {
  releaseAll(true);
  const board = document.getElementById('keyboard');
  const first = 12 * (page.octave + 1);  // C of the octave
  const isBlack = (key) => [1, 3, 6, 8, 10].includes(key % 12);
  let whites = 0;
  for (let key = first; key < first + KEYS_SHOWN; key++) whites += isBlack(key) ? 0 : 1;
  const white = 100 / whites;  // percent of the board
  const keys = [];
  let at = 0;
  for (let key = first; key < first + KEYS_SHOWN; key++) {
    const black = isBlack(key);
    const k = el('div', {class: `key ${black ? 'black' : 'white'}`, 'data-key': String(key),
                         title: `${keyName(key)} (${key})`});
    if (black) {
      k.style.left = `${(at - BLACK_WIDTH / 2) * white}%`;
      k.style.width = `${BLACK_WIDTH * white}%`;
    } else {
      k.style.left = `${at * white}%`;
      k.style.width = `${white}%`;
      if (key % 12 === 0) k.append(el('span', {text: keyName(key)}));
      at++;
    }
    keys.push(k);
  }
  board.replaceChildren(...keys);
  if (!board.dataset.listening) {
    board.dataset.listening = '1';
    listenToPointers(board);
  }
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

function listenToMidi() {
  const devices = document.getElementById('midi-devices');
  const none = 'Web MIDI: none found';
  if (!navigator.requestMIDIAccess) {
    devices.textContent = none;
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
          // A controller moves the pins mapped to it, or is learned.
          else if (kind === 0xb0 && event.data.length >= 3) {
            send({type: 'controller', channel: (status & 0x0f) + 1, cc: key, value: velocity}, true);
          }
        };
      }
      devices.textContent = names.length > 0 ? `Web MIDI: ${names.join(', ')}` : none;
    };
    bind();
    access.onstatechange = bind;
  }, () => {
    devices.textContent = none;
  });
}

// Shown when the layout has a live MIDI input.
export function showKeyboard() {
  buildKeyboard();
  if (!page.midiAsked) {
    page.midiAsked = true;
    listenToMidi();
  }
}

export function listenToKeys() {
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
    for (const key of page.held.values()) note(false, key, 0);
    page.held.clear();
  });
  document.getElementById('octave-down').addEventListener('click', () => shiftOctave(-1));
  document.getElementById('octave-up').addEventListener('click', () => shiftOctave(1));
  document.getElementById('panic').addEventListener('click', () => {
    releaseAll(false);  // the panic ends them all
    send({type: 'panic'});
  });
}
