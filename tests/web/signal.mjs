// Measures on recorded sound for the web tests.

// The fundamental of a steady tone: the lag of the autocorrelation's first peak near its
// highest, refined by a parabola through it and its neighbours.
export function fundamental(samples, rate) {
  const lags = Math.floor(rate / 40);
  const r = new Float64Array(lags);
  const n = samples.length - lags;
  for (let lag = 0; lag < lags; ++lag) {
    let s = 0;
    for (let i = 0; i < n; ++i) s += samples[i] * samples[i + lag];
    r[lag] = s;
  }
  let start = 1;
  while (start < lags && r[start] > 0) ++start;  // past the zero lag's lobe
  let best = start;
  for (let lag = start; lag < lags; ++lag) if (r[lag] > r[best]) best = lag;
  let lag = start;
  while (lag < lags - 1 && !(r[lag] >= 0.9 * r[best] && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1])) ++lag;
  const [a, b, c] = [r[lag - 1], r[lag], r[lag + 1]];
  return rate / (lag + 0.5 * (a - c) / (a - 2 * b + c));
}
