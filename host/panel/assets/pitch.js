// kvhost panel, pitch as a musician reads it: 1 V an octave with 0 V = 13.75 Hz (5 V is A4,
// 440 Hz), note names with cents, and MIDI keys by name.
export const NOTE_NAMES = ['C', 'C#', 'D', 'D#', 'E', 'F', 'F#', 'G', 'G#', 'A', 'A#', 'B'];

export function keyName(key) {
  return `${NOTE_NAMES[((key % 12) + 12) % 12]}${Math.floor(key / 12) - 1}`;
}

// "A4 +0 ct": the nearest key and how far off it, in cents.
export function noteName(hz) {
  const n = 69 + 12 * Math.log2(hz / 440);
  const key = Math.round(n);
  const cents = Math.round((n - key) * 100);
  return `${keyName(key)} ${cents >= 0 ? '+' : ''}${cents} ct`;
}

export function voltsToHz(volts) {
  return 13.75 * 2 ** volts;
}

export function hzText(hz) {
  return `${hz >= 1000 ? hz.toFixed(0) : hz.toPrecision(4)} Hz`;
}

// What a pitch read-out shows beside its volts: "A4 +0 ct · 440.0 Hz" ("" for no number).
export function pitchText(volts) {
  const v = Number(volts);
  if (volts === '' || !Number.isFinite(v)) return '';
  const hz = voltsToHz(v);
  if (!(hz >= 1 && hz <= 100000)) return hzText(hz);
  return `${noteName(hz)} · ${hzText(hz)}`;
}
