// kvhost panel, the page's side: the cards built from the layout the server sends, kept live
// from what it pushes; a spectrum view and a keyboard for a playing patch. Modules by concern:
// connection, controls, keyboard, learn, editor, drawing, pitch, dom, state.
import {connect, send} from './connection.js';
import {card, show, showNamed} from './controls.js';
import {el, showError} from './dom.js';
import {setCatalog, setUpEditor, showEditor, showRefusal, showStructure} from './editor.js';
import {drawScope, drawSpectrum} from './drawing.js';
import {listenToKeys, releaseAll, showKeyboard} from './keyboard.js';
import {showLearn, showMaps} from './learn.js';
import {page} from './state.js';

function watch() {
  const select = document.getElementById('spectrum-source');
  if (!select.value) return;
  const [module, pin] = JSON.parse(select.value);
  send({type: 'watch', module, pin});
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
  document.getElementById('midi-devices').hidden = !layout.midi_input;
  if (layout.midi_input) showKeyboard();
  showLearn(layout);
  const sources = [];
  layout.modules.forEach((m) => m.pins.forEach((p) => {
    if (p.control === 'scope') sources.push([m.name, p]);
  }));
  const select = document.getElementById('spectrum-source');
  select.replaceChildren(...sources.map(([name, p]) =>
    el('option', {value: JSON.stringify([name, '#' + p.index]), text: `${name}.${p.name}`})));
  document.getElementById('spectrum').hidden = sources.length === 0;
  if (sources.length > 0) watch();
  showEditor(layout);
  document.body.dataset.layout = 'ready';
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
    case 'maps':
      showMaps(m);
      break;
    case 'scope':
      for (const f of m.frames) drawScope(f);
      break;
    case 'spectrum':
      drawSpectrum(m);
      break;
    case 'catalog':
      setCatalog(m.deliverables);
      break;
    case 'structure':
      showStructure(m.edit);
      break;
    case 'refused':
      showRefusal(m);
      break;
    default:
      break;
  }
}

document.getElementById('spectrum-source').addEventListener('change', watch);
listenToKeys();
setUpEditor();
// A lost connection lets go every key: the server has let them go already.
connect(receive, () => releaseAll(false));
