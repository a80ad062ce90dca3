// kvhost panel, the drawings: each sample output's scope and the spectrum of the one chosen,
// its fundamental marked and named. Canvases are drawn at their shown size, so labels keep
// their size on a phone.
import {view} from './controls.js';
import {hzText, noteName} from './pitch.js';

const GRID = '#2a2e35';
const LABEL = '#6a707a';
const LABEL_GAP = 6;  // px between two frequency labels, or the later one is left out

// The canvas's drawing surface made its shown size (in device pixels); the scale to draw in
// CSS pixels.
function fit(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const w = Math.max(1, Math.round(canvas.clientWidth * ratio));
  const h = Math.max(1, Math.round(canvas.clientHeight * ratio));
  if (canvas.width !== w || canvas.height !== h) {
    canvas.width = w;
    canvas.height = h;
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  return {g, w: w / ratio, h: h / ratio};
}

export function drawScope(frame) {
  const v = view(frame.module, frame.pin);
  if (!v || !v.canvas) return;
  const {g, w, h} = fit(v.canvas);
  g.clearRect(0, 0, w, h);
  g.strokeStyle = GRID;
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
  g.fillStyle = LABEL;
  g.font = '9px sans-serif';
  g.fillText(`±${top.toPrecision(2)} V`, 3, 10);
}

export function drawSpectrum(m) {
  const {g, w, h} = fit(document.getElementById('spectrum-view'));
  const low = 20;
  const high = m.rate / 2;
  const x = (hz) => (Math.log(hz / low) / Math.log(high / low)) * w;
  const y = (db) => Math.min(h, Math.max(0, (-db / 120) * h));
  g.clearRect(0, 0, w, h);
  g.strokeStyle = GRID;
  g.fillStyle = LABEL;
  g.font = '11px sans-serif';
  let free = 0;  // where the next frequency label may start
  for (const hz of [50, 100, 200, 500, 1000, 2000, 5000, 10000, 20000]) {
    if (hz >= high) break;
    g.beginPath();
    g.moveTo(x(hz), 0);
    g.lineTo(x(hz), h);
    g.stroke();
    const text = hz >= 1000 ? `${hz / 1000}k` : String(hz);
    if (x(hz) + 2 >= free && x(hz) + 2 + g.measureText(text).width <= w) {
      g.fillText(text, x(hz) + 2, h - 3);
      free = x(hz) + 2 + g.measureText(text).width + LABEL_GAP;
    }
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
  label.title = m.fundamental_hz > 0 ? hzText(m.fundamental_hz) : '';
  label.dataset.hz = String(m.fundamental_hz);
}
