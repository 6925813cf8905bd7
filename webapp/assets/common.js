// Shared helpers of Brisvane's pages: the API client, a DOM builder that
// never parses data as HTML, in-place messages, the service banner and the
// bridge to the desktop window (used only when the page runs inside it).
'use strict';

const Bv = (() => {
  // el('tr', {class: 'x', onclick: fn, 'aria-label': 'y'}, child, 'text', ...)
  // Strings become text nodes; nothing is ever parsed as HTML.
  function el(tag, props, ...children) {
    const node = document.createElement(tag);
    for (const [key, value] of Object.entries(props || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (key.startsWith('on') && typeof value === 'function') node.addEventListener(key.slice(2), value);
      else if (key === 'class') node.className = value;
      else if (key === 'text') node.textContent = value;
      else if (key in node && typeof value !== 'string') node[key] = value;
      else node.setAttribute(key, value === true ? '' : String(value));
    }
    for (const child of children.flat()) {
      if (child === undefined || child === null || child === false) continue;
      node.appendChild(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return node;
  }

  function clear(node) {
    while (node.firstChild) node.removeChild(node.firstChild);
    return node;
  }

  // One API call. Resolves to {ok, status, data, error: {code, message}},
  // never rejects: a refused connection becomes status 0.
  async function api(method, path, body, options = {}) {
    const init = {method, headers: {}};
    if (body !== undefined) {
      if (body instanceof Blob || body instanceof ArrayBuffer) {
        init.body = body;
        init.headers['Content-Type'] = options.contentType || body.type || 'application/octet-stream';
      } else {
        init.body = JSON.stringify(body);
        init.headers['Content-Type'] = 'application/json';
      }
    }
    let response;
    try {
      response = await fetch(path, init);
    } catch (e) {
      return {ok: false, status: 0, data: null, path,
              error: {code: 'unreachable', message: 'The Brisvane server cannot be reached (' + e.message + ').'}};
    }
    let data = null;
    const text = await response.text();
    try { data = text ? JSON.parse(text) : null; } catch (e) { data = text; }
    const result = {ok: response.ok, status: response.status, data, error: null, path};
    if (!response.ok) {
      const err = data && data.error ? data.error : {};
      result.error = {code: err.code || 'http_' + response.status,
                      message: err.message || (typeof data === 'string' && data) || response.statusText,
                      auth: err.auth};
    }
    return result;
  }

  // A 404 "not_found" from the router: this server has no such endpoint yet.
  function missingEndpoint(result) {
    return result.status === 404 && result.error && result.error.code === 'not_found';
  }

  // Replaces the content of `box` with a message. kind: info, error, ok, warn.
  function say(box, text, kind = 'info') {
    clear(box);
    if (!text) { box.hidden = true; return; }
    box.hidden = false;
    box.appendChild(el('div', {class: 'msg ' + kind, role: kind === 'error' ? 'alert' : 'status'}, text));
  }

  // What the error codes the pages meet mean, in English. The server's own
  // text (in some replies Korean) is shown too, beside the explanation.
  const explanations = {
    mivrel_already_exists: 'An instance with this id exists already: choose another id, or leave the id empty to get a new one.',
    mivrel_not_found: 'There is no instance with this id (it may have been deleted): refresh the list.',
    mivrel_occupied: 'The instance holds another conversation. Continue that conversation, or start a new one here (the instance forgets the other).',
    mivrel_inferring: 'The instance is still generating a reply: wait until it has finished, or press Stop.',
    mivrel_not_running: 'The instance is not loaded: start it first (sending a chat message also loads it).',
    mivrel_init_fail: 'The instance could not be set up: check its model and settings in Administration.',
    model_not_found: 'No registered model has this id: register the model in Administration → Models first.',
    model_not_downloaded: 'The model is registered but its files are not all there: finish its download first.',
    model_already_exists: 'A model with this id is registered already: choose another id, or delete the old one.',
    not_a_gguf_model: 'The file is not a GGUF model (it does not begin with the bytes "GGUF"): choose the .gguf file itself.',
    file_not_found: 'Nothing exists at this path on the machine the server runs on: check the folder and the file name.',
    unsupported_mivrel_type: 'The model family of this instance does not offer this action.',
    already_downloading: 'This model is being downloaded already: see Downloads.',
    catalog_fetch_failed: 'The Brisvane web service could not be reached for its catalogue.',
    storage_key_required: 'The instance\'s files are encrypted: the request needs the Bearer token they were stored under.',
    storage_key_mismatch: 'The instance\'s files are encrypted under another Bearer token.',
    inference_service_down: 'The inference service is off. Switch it on in Administration → Service.',
  };

  // The English explanation of an error code, or '' when the pages know none.
  function explain(code) {
    return Object.prototype.hasOwnProperty.call(explanations, code) ? explanations[code] : '';
  }

  // The inference API refused a local client: the server's configuration
  // keeps /v1 for the relay unless LOCAL_V1_ACCESS is true.
  function v1Refused(result) {
    return result.status === 403 && result.error && result.error.code === 'forbidden' &&
      typeof result.path === 'string' && result.path.startsWith('/v1/');
  }

  // Shows a failed call in `box`: the server's text and code, and beside them
  // what it means and what to do, where the pages know it.
  function sayError(box, result, what) {
    if (missingEndpoint(result)) {
      say(box, what + ' is not available on this server version (the endpoint answered 404).', 'warn');
      return;
    }
    if (result.status === 503 && result.error.code === 'inference_service_down') {
      clear(box);
      box.hidden = false;
      box.appendChild(el('div', {class: 'msg warn', role: 'status'}, 'The inference service is off. ',
        el('a', {href: '/admin/#service'}, 'Switch it on in Administration → Service'),
        ' (without registering, "Switch on without registration" there works offline).'));
      return;
    }
    const hint = v1Refused(result)
      ? 'This server keeps the inference API (/v1) closed to local clients: set LOCAL_V1_ACCESS=true in ' +
        'conf/serv.conf in the server\'s home and restart the server.'
      : explain(result.error.code);
    clear(box);
    box.hidden = false;
    box.appendChild(el('div', {class: 'msg error', role: 'alert'},
      what + ' failed: ' + result.error.message + ' (' + result.error.code + ')',
      hint ? el('div', {class: 'explain'}, hint) : null));
  }

  function formatBytes(n) {
    if (typeof n !== 'number' || !isFinite(n)) return '–';
    const units = ['B', 'KiB', 'MiB', 'GiB', 'TiB'];
    let i = 0;
    while (n >= 1024 && i < units.length - 1) { n /= 1024; i++; }
    return (i === 0 ? n : n.toFixed(1)) + ' ' + units[i];
  }

  function formatNumber(n, digits = 1) {
    return typeof n === 'number' && isFinite(n) ? n.toFixed(digits) : '–';
  }

  // ---- desktop window bridge ------------------------------------------------
  const webview = window.chrome && window.chrome.webview && typeof window.chrome.webview.postMessage === 'function'
    ? window.chrome.webview : null;

  function post(message) {
    if (webview) webview.postMessage(message);
  }

  // Inside the desktop window the page draws its own title bar; in a browser
  // nothing changes.
  function installHostChrome() {
    if (!webview) return;
    document.body.classList.add('in-host');
    const button = (id, label, text, message) =>
      el('button', {id, type: 'button', 'aria-label': label, onclick: () => post(message)}, text);
    const bar = el('div', {id: 'appTitlebar'},
      el('span', {class: 'title'}, document.title || 'Brisvane'),
      button('_tbBack', 'Back', '\u2190', 'navBack'),
      button('_tbForward', 'Forward', '\u2192', 'navForward'),
      button('_tbMin', 'Minimise', '\u2212', 'minimize'),
      button('_tbMax', 'Maximise', '\u25A1', 'maximize'),
      button('_tbClose', 'Close', '\u2715', 'close'));
    bar.addEventListener('mousedown', (e) => {
      if (e.button === 0 && (e.target === bar || e.target.tagName === 'SPAN')) post('dragstart');
    });
    bar.addEventListener('dblclick', (e) => { if (e.target === bar || e.target.tagName === 'SPAN') post('maximize'); });
    document.body.prepend(bar);
    const edges = ['left', 'right', 'top', 'bottom', 'topleft', 'topright', 'bottomleft', 'bottomright'];
    for (const edge of edges) {
      const grip = el('div', {class: 'grip grip-' + edge, 'aria-hidden': 'true'});
      grip.addEventListener('mousedown', (e) => { if (e.button === 0) post('resize:' + edge); });
      document.body.appendChild(grip);
    }
  }

  // Links marked data-external open in the system browser from the desktop
  // window, and in a new tab otherwise.
  function installLinks() {
    document.addEventListener('click', (e) => {
      const link = e.target.closest && e.target.closest('a[data-external]');
      if (!link) return;
      if (webview) {
        e.preventDefault();
        const href = link.href;
        if (/^https?:/i.test(href)) post('openExternal:' + href);
      } else {
        link.target = '_blank';
        link.rel = 'noopener';
      }
    });
  }

  // Marks the current page in the shared navigation.
  function markNavigation() {
    const here = location.pathname.replace(/index\.html$/, '');
    for (const link of document.querySelectorAll('nav.top a')) {
      const target = new URL(link.href).pathname.replace(/index\.html$/, '');
      if (target === here) link.setAttribute('aria-current', 'page');
    }
  }

  // Fills `box` with the state of the inference service and, when it is off,
  // how to switch it on. Returns whether it is on.
  async function serviceBanner(box) {
    const result = await api('GET', '/mgmt-api/runtime_properties');
    if (!result.ok) { sayError(box, result, 'Reading the service state'); return null; }
    const on = String((result.data.properties || {}).BRISVANE_EXPORT || '').toLowerCase() === 'true';
    if (on) {
      say(box, '');
    } else {
      clear(box);
      box.hidden = false;
      box.appendChild(el('div', {class: 'msg warn', role: 'status'},
        'The inference service is off: chat and files are unavailable until it is switched on. ',
        el('a', {href: '/admin/#service'}, 'Switch it on in Administration'),
        ' ("Switch on without registration" works without the Brisvane web service)' +
        ' or run "brisvane up" in a terminal.'));
    }
    return on;
  }

  document.addEventListener('DOMContentLoaded', () => {
    installHostChrome();
    installLinks();
    markNavigation();
  });

  // The state of an instance of /mgmt-api/mivrelList as a person reads it:
  // "unloaded", "loading", "loaded" (idle with its model in memory),
  // "generating" or "stopping".
  function instanceState(item) {
    if (!item.loaded) return item.status === 'loading' ? 'loading' : 'unloaded';
    if (item.status === 'running') return 'generating';
    if (item.status === 'stopping') return 'stopping';
    return 'loaded';
  }

  return {el, clear, api, say, sayError, explain, instanceState, missingEndpoint, formatBytes, formatNumber, post, serviceBanner,
          inHost: () => !!webview};
})();
