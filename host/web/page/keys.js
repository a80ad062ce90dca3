// The on-screen keyboard: two octaves from C4, played with the mouse (or a finger) or the
// computer's keys; each key calls onNote(on, key) once per press and once per release.

const kFirst = 60;
const kKeys = 25;
const kWhiteWidth = 40;
const kComputer = 'awsedftgyhujk';  // C4 to C5 on a QWERTY row

const isBlack = (key) => [1, 3, 6, 8, 10].includes(key % 12);

export function buildKeyboard(element, onNote) {
  const held = new Set();
  const press = (key, on) => {
    if (on === held.has(key)) return;
    if (on) held.add(key); else held.delete(key);
    element.querySelector(`[data-key="${key}"]`)?.classList.toggle('down', on);
    onNote(on, key);
  };
  let whites = 0;
  for (let key = kFirst; key < kFirst + kKeys; ++key) {
    const k = document.createElement('div');
    k.className = `key ${isBlack(key) ? 'black' : 'white'}`;
    k.dataset.key = key;
    k.style.left = `${isBlack(key) ? whites * kWhiteWidth - 13 : whites * kWhiteWidth}px`;
    if (!isBlack(key)) ++whites;
    k.addEventListener('pointerdown', (e) => { k.setPointerCapture(e.pointerId); press(key, true); });
    k.addEventListener('pointerup', () => press(key, false));
    k.addEventListener('pointercancel', () => press(key, false));
    element.append(k);
  }
  const keyOf = (e) => {
    const i = kComputer.indexOf(e.key.toLowerCase());
    return i < 0 || e.ctrlKey || e.metaKey || e.altKey ? null : kFirst + i;
  };
  window.addEventListener('keydown', (e) => {
    const key = keyOf(e);
    if (key !== null && !e.repeat) press(key, true);
  });
  window.addEventListener('keyup', (e) => {
    const key = keyOf(e);
    if (key !== null) press(key, false);
  });
  window.addEventListener('blur', () => { for (const key of [...held]) press(key, false); });
}
