// kvhost panel, building elements (text only: names and about texts come from modules) and
// showing errors at the top of the page.
const ERRORS_SHOWN = 5;
const ERROR_MS = 12000;

export function el(tag, props, ...children) {
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

export function showError(text) {
  const box = document.getElementById('errors');
  const close = el('button', {type: 'button', title: 'dismiss', text: '×'});
  const item = el('div', {class: 'error'}, el('span', {text}), close);
  close.addEventListener('click', () => item.remove());
  box.prepend(item);
  while (box.children.length > ERRORS_SHOWN) box.lastChild.remove();
  setTimeout(() => item.remove(), ERROR_MS);
}
