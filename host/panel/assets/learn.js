// kvhost panel, MIDI learn: a learn button beside each control a MIDI controller may drive;
// clicked, the next controller that arrives on the live MIDI input drives that pin over its
// own range (clicked again, nothing waits). The mappings are listed with a remove button.
import {send} from './connection.js';
import {el} from './dom.js';
import {page} from './state.js';

// The button for a pin the layout marks `learn`; null for the others.
export function learnButton(moduleName, mi, pin) {
  if (!pin.learn) return null;
  const button = el('button', {type: 'button', class: 'learn', text: 'learn',
                               title: 'map the next MIDI controller that arrives to this pin',
                               'aria-label': `learn a MIDI controller for ${pin.name}`,
                               'data-module': moduleName, 'data-pin': String(pin.index)});
  button.addEventListener('click', () => {
    const waiting = page.learning && page.learning[0] === mi && page.learning[1] === pin.index;
    if (waiting) send({type: 'forget'});
    else send({type: 'learn', module: moduleName, pin: '#' + pin.index});
  });
  return button;
}

function pinName(mi, pi) {
  const m = page.layout.modules[mi];
  const p = m && m.pins.find((x) => x.index === pi);
  return m && p ? [m.name, p] : null;
}

// The mappings and the pin waiting, as the server sends them.
export function showMaps(m) {
  if (!page.layout) return;
  page.learning = m.learning;
  for (const b of document.querySelectorAll('button.learn')) {
    const mi = page.layout.modules.findIndex((x) => x.name === b.dataset.module);
    const armed = !!m.learning && m.learning[0] === mi && m.learning[1] === Number(b.dataset.pin);
    b.classList.toggle('armed', armed);
    b.textContent = armed ? 'move a controller…' : 'learn';
  }
  const list = document.getElementById('midi-map-list');
  const items = [];
  for (const x of m.mappings) {
    const named = pinName(x.module, x.pin);
    if (!named) continue;
    const [module, p] = named;
    const remove = el('button', {type: 'button', class: 'unmap', text: '×', title: 'remove this mapping'});
    remove.addEventListener('click', () => send({type: 'unmap', cc: x.cc, module, pin: '#' + p.index}));
    const channel = x.channel > 0 ? ` ch ${x.channel}` : '';
    items.push(el('li', {'data-cc': String(x.cc), 'data-module': module, 'data-pin': String(p.index)},
                  el('span', {text: `CC ${x.cc}${channel} → ${module}.${p.name} (${x.min} to ${x.max})`}),
                  remove));
  }
  list.replaceChildren(...items);
  document.getElementById('midi-map-none').hidden = items.length > 0;
}

// Shown when the layout can learn.
export function showLearn(layout) {
  document.getElementById('midi-map').hidden = !layout.learn;
  page.learning = null;
}
