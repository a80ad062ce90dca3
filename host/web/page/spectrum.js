// kvhost web: scope frames and spectra cut from a window of the patch's output, as the panel's
// server cuts them from an output's recent samples (SignalWindow: 20 ms from a rising crossing
// of the middle, at most 200 points, in volts; the spectrum through a 4-term Blackman-Harris
// window, 240 bands evenly spaced in pitch from 20 Hz, and the fundamental: the lowest peak
// within 40 dB of the strongest, placed between bins by a parabola). Shapes as the panel's
// drawing.js takes them.

const kScopeSeconds = 0.02;
const kScopePoints = 200;
const kBands = 240;
const kLowestHz = 20;
const kLobe = 4;                // bins either side of a peak the window's main lobe reaches
const kFundamentalRange = 40;   // dB below the strongest peak that still counts
const kSilence = -200;          // dB: a strongest peak below this is silence

// A scope frame of `samples` (signal units, oldest first) at `rate` Hz: {volts, step}.
export function scopeFrame(samples, rate) {
  const shown = Math.max(1, Math.round(kScopeSeconds * rate));
  const taken = Math.min(samples.length, 2 * shown);
  if (taken === 0) return {volts: [], step: 1};
  const s = samples.subarray(samples.length - taken);
  let lo = Infinity;
  let hi = -Infinity;
  for (const x of s) {
    lo = Math.min(lo, x);
    hi = Math.max(hi, x);
  }
  const middle = (lo + hi) * 0.5;
  let start = taken > shown ? taken - shown : 0;
  for (let i = 1; i + shown <= taken; ++i) {
    if (s[i - 1] < middle && s[i] >= middle) {
      start = i;
      break;
    }
  }
  const length = Math.min(shown, taken - start);
  const step = Math.ceil(length / kScopePoints);
  const volts = [];
  for (let i = start; i < start + length; i += step) {
    const v = s[i] * 10;
    volts.push(Number.isFinite(v) ? v : 0);
  }
  return {volts, step};
}

const plans = new Map();  // size -> {window, windowSum, re, im, bits}

function plan(n) {
  let p = plans.get(n);
  if (p) return p;
  const window = new Float64Array(n);
  let windowSum = 0;
  for (let i = 0; i < n; ++i) {
    const x = (2 * Math.PI * i) / n;
    window[i] = 0.35875 - 0.48829 * Math.cos(x) + 0.14128 * Math.cos(2 * x) - 0.01168 * Math.cos(3 * x);
    windowSum += window[i];
  }
  p = {window, windowSum, re: new Float64Array(n), im: new Float64Array(n), bits: Math.log2(n)};
  plans.set(n, p);
  return p;
}

// In-place radix-2 FFT of re + i im (length a power of two).
function fft(re, im, bits) {
  const n = re.length;
  for (let i = 0; i < n; ++i) {
    let j = 0;
    for (let b = 0; b < bits; ++b) j |= ((i >> b) & 1) << (bits - 1 - b);
    if (j > i) {
      [re[i], re[j]] = [re[j], re[i]];
      [im[i], im[j]] = [im[j], im[i]];
    }
  }
  for (let size = 2; size <= n; size *= 2) {
    const half = size / 2;
    const step = (-2 * Math.PI) / size;
    for (let k = 0; k < half; ++k) {
      const wr = Math.cos(step * k);
      const wi = Math.sin(step * k);
      for (let at = k; at < n; at += size) {
        const r = re[at + half] * wr - im[at + half] * wi;
        const i = re[at + half] * wi + im[at + half] * wr;
        re[at + half] = re[at] - r;
        im[at + half] = im[at] - i;
        re[at] += r;
        im[at] += i;
      }
    }
  }
}

// The spectrum of `samples` (a power of two of them) at `rate` Hz as the panel's "spectrum"
// message: {rate, bin_hz, fundamental_hz (0: silence), hz: band centres, db: band levels}.
export function spectrumFrame(samples, rate) {
  const n = samples.length;
  const {window, windowSum, re, im, bits} = plan(n);
  for (let i = 0; i < n; ++i) {
    const v = samples[i];
    re[i] = Number.isFinite(v) ? v * window[i] : 0;
    im[i] = 0;
  }
  fft(re, im, bits);
  const bins = n / 2 + 1;
  const level = new Float64Array(bins);
  for (let k = 0; k < bins; ++k) {
    const scale = k === 0 || 2 * k === n ? 1 : 2;
    const a = (scale * Math.hypot(re[k], im[k])) / windowSum;
    level[k] = a > 0 ? 20 * Math.log10(a) : -400;
  }
  const binHz = rate / n;
  const m = {type: 'spectrum', rate, bin_hz: binHz, fundamental_hz: 0, hz: [], db: []};
  const top = bins - 1;
  let peak = -Infinity;
  for (let k = kLobe; k < bins; ++k) peak = Math.max(peak, level[k]);
  if (peak >= kSilence) {
    for (let k = kLobe; k < top; ++k) {
      if (level[k] < peak - kFundamentalRange) continue;
      let isPeak = true;
      for (let j = k - kLobe; j <= Math.min(top, k + kLobe) && isPeak; ++j) {
        if (j < k ? level[j] >= level[k] : level[j] > level[k]) isPeak = false;
      }
      if (!isPeak) continue;
      const [a, b, c] = [level[k - 1], level[k], level[k + 1]];
      const denom = a - 2 * b + c;
      const delta = denom < 0 ? Math.min(0.5, Math.max(-0.5, (0.5 * (a - c)) / denom)) : 0;
      m.fundamental_hz = (k + delta) * binHz;
      break;
    }
  }
  const ratio = (rate / 2 / kLowestHz) ** (1 / kBands);
  for (let b = 0; b < kBands; ++b) {
    const from = kLowestHz * ratio ** b;
    const to = from * ratio;
    const first = Math.min(top, Math.ceil(from / binHz));
    const end = Math.min(top, Math.floor(to / binHz));
    let l = level[Math.min(top, Math.round(Math.sqrt(from * to) / binHz))];
    for (let k = first; k <= end; ++k) l = k === first ? level[k] : Math.max(l, level[k]);
    m.hz.push(Math.sqrt(from * to));
    m.db.push(Math.max(l, -200));
  }
  return m;
}
