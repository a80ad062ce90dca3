// kvhost panel, the page's connection: one WebSocket to the panel, messages as JSON, the
// reason shown when the panel closes the page's connection, and a new try a second later.
// A page without a panel server (kvhost web) gives its own transport instead.
import {showError} from './dom.js';
import {page} from './state.js';

const RETRY_MS = 1000;

let transport = null;  // a page's own: message -> sent (true) or not

// Messages go to `deliver(message)` from here on, not to a WebSocket.
export function useTransport(deliver) {
  transport = deliver;
}

// Sends a message; false (and, unless `quiet`, an error shown) while not connected.
export function send(message, quiet) {
  if (transport) return transport(message);
  if (page.socket && page.socket.readyState === WebSocket.OPEN) {
    page.socket.send(JSON.stringify(message));
    return true;
  }
  if (!quiet) showError('not connected: the change was not sent');
  return false;
}

// Connects and stays connected: `receive(message)` for each message, `lost()` when the
// connection ends.
export function connect(receive, lost) {
  const socket = new WebSocket(`ws://${location.host}/ws`);
  page.socket = socket;
  const link = document.getElementById('link');
  socket.addEventListener('open', () => {
    document.body.dataset.link = 'up';
    link.textContent = 'connected';
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
  socket.addEventListener('close', (event) => {
    document.body.dataset.link = 'down';
    link.textContent = 'disconnected, retrying…';
    if (event.reason) showError(`the panel closed this page's connection: ${event.reason}`);
    lost();
    setTimeout(() => connect(receive, lost), RETRY_MS);
  });
}
