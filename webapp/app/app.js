// The main application: instances, chat with streamed replies, the
// instance's files and a quick decision.
'use strict';

(() => {
  const {el, clear, api, say, sayError} = Bv;
  const $ = (id) => document.getElementById(id);
  const enc = encodeURIComponent;

  const state = {
    instances: [],
    selected: null,       // instance id
    // id -> {conversationId, sent: whether a request of it reached the
    // instance, resetNext: the next request clears the instance's context,
    // nodes: [element]}. The instance keeps the conversation itself (its
    // context holds every turn), so a request carries only the new message.
    conversations: {},
    streaming: null,      // {id, controller}
    modelInput: null,     // the select or the text input that names the model
  };

  // ---- instances -------------------------------------------------------------
  function statusBadge(status) {
    return el('span', {class: 'badge ' + String(status).replace(/[^a-z_]/gi, '')}, status);
  }

  function instanceEntry(id) {
    return state.instances.find((item) => item.mivrelId === id) || null;
  }

  async function loadInstances() {
    const result = await api('GET', '/mgmt-api/mivrelList');
    if (!result.ok) { sayError($('instanceMessage'), result, 'Listing the instances'); return; }
    state.instances = result.data.mivrelList || [];
    renderInstances();
  }

  function renderInstances() {
    const body = clear($('instances').tBodies[0]);
    $('noInstances').hidden = state.instances.length > 0;
    for (const item of state.instances) {
      const id = item.mivrelId;
      const props = item.properties || {};
      const action = (name, label, extra = {}) => el('button', Object.assign({type: 'button', class: 'small',
        'aria-label': label + ' ' + id, onclick: () => instanceAction(id, name)}, extra), label);
      const row = el('tr', {'data-id': id, class: id === state.selected ? 'selected' : ''},
        el('td', {},
          el('div', {}, props.name || id),
          el('div', {class: 'muted mono'}, id + (props.modelId ? ' · ' + props.modelId : ''))),
        el('td', {}, statusBadge(Bv.instanceState(item)),
          item.loaded && item.contextSize ? el('div', {class: 'muted'}, item.contextUsed + ' / ' + item.contextSize + ' tokens') : null),
        el('td', {},
          el('div', {class: 'row'},
            el('button', {type: 'button', class: 'small primary', 'data-action': 'chat', 'aria-label': 'Chat with ' + id,
                          onclick: () => select(id)}, 'Chat'),
            action('start', 'Start'), action('stop', 'Stop'), action('unload', 'Unload'),
            action('reset', 'Reset'), action('delete', 'Delete', {class: 'small danger'}))));
      body.appendChild(row);
    }
  }

  async function instanceAction(id, name) {
    if (name === 'delete' && !confirm('Delete the instance "' + id + '" with its files?')) return;
    say($('instanceMessage'), name + ' ' + id + '…');
    const result = await api('POST', '/mgmt-api/mivrel/' + enc(id) + '/' + name);
    if (!result.ok) { sayError($('instanceMessage'), result, name + ' ' + id); return; }
    say($('instanceMessage'), id + ': ' + (result.data.status || 'done'), 'ok');
    if (name === 'delete' && state.selected === id) select(null);
    // After a reset or an unload the instance remembers nothing of the
    // conversation: the page starts its view afresh (same conversation id).
    if ((name === 'reset' || name === 'unload') && state.conversations[id]) {
      state.conversations[id].nodes = [];
      if (state.selected === id) clear($('chatLog'));
    }
    loadInstances();
  }

  async function loadModels() {
    const result = await api('GET', '/mgmt-api/models');
    const select = $('createModel');
    const input = $('createModelId') || $('createModel');
    if (result.ok && Array.isArray(result.data.models)) {
      clear(select);
      for (const model of result.data.models) {
        select.appendChild(el('option', {value: model.modelId},
          (model.name || model.modelId) + (model.status && model.status !== 'downloaded' ? ' (' + model.status + ')' : '')));
      }
      if (result.data.models.length === 0) select.appendChild(el('option', {value: ''}, 'no models registered'));
      select.hidden = false;
      input.hidden = true;
      state.modelInput = select;
    } else {
      // Without a model list the id is typed in.
      select.hidden = true;
      input.hidden = false;
      select.removeAttribute('id');
      input.id = 'createModel';  // the label names it now
      state.modelInput = input;
      if (Bv.missingEndpoint(result)) {
        say($('createMessage'), 'This server version has no model list: type the id of a registered model.', 'info');
      } else {
        sayError($('createMessage'), result, 'Listing the models');
      }
    }
  }

  async function create(event) {
    event.preventDefault();
    const modelId = state.modelInput ? state.modelInput.value.trim() : '';
    if (!modelId) { say($('createMessage'), 'Choose or type a model first.', 'error'); return; }
    const body = {type: 'local', modelId};
    // The management API needs an id and a name; both have defaults here.
    const id = $('createId').value.trim() || (modelId + '-' + Date.now().toString(36)).slice(-128);
    const nCtx = parseInt($('createCtx').value, 10);
    body.mivrelId = id;
    body.name = $('createName').value.trim() || id;
    if (nCtx > 0) body.n_ctx = nCtx;
    $('createButton').disabled = true;
    const result = await api('POST', '/mgmt-api/mivrelCreate', body);
    $('createButton').disabled = false;
    if (!result.ok) { sayError($('createMessage'), result, 'Creating the instance'); return; }
    say($('createMessage'), 'Created ' + result.data.mivrelId + '.', 'ok');
    $('createId').value = '';
    await loadInstances();
    select(result.data.mivrelId);
  }

  // ---- chat --------------------------------------------------------------------
  function newConversationId() {
    return 'web-' + Date.now().toString(36) + '-' + Math.random().toString(36).slice(2, 8);
  }

  // The page's record of the conversation on instance `id`. A loaded
  // instance belongs to the conversation its status names: the page
  // continues that one (after a reload, too) instead of meeting a 409.
  function conversation(id) {
    if (!state.conversations[id]) {
      state.conversations[id] = {conversationId: newConversationId(), sent: false, resetNext: false, nodes: []};
    }
    return state.conversations[id];
  }

  // Before the first request of a record: take over the conversation the
  // loaded instance holds, so the model's memory of it goes on.
  async function adoptInstanceConversation(id, conv) {
    if (conv.sent || conv.resetNext) return;
    await loadInstances();
    const item = instanceEntry(id);
    if (item && item.loaded && item.conversationId && item.conversationId !== conv.conversationId) {
      conv.conversationId = item.conversationId;
      const note = el('div', {class: 'muted note'}, 'Continuing the conversation "' + item.conversationId +
        '" this instance holds (its earlier turns are in the model\'s context, not shown here). ' +
        'Press "New conversation" to start afresh.');
      conv.nodes.unshift(note);
      if (state.selected === id) $('chatLog').prepend(note);
    }
  }

  // A new conversation: the first request clears the instance's context
  // ("mivrel_reset"), which also takes the instance from any other one.
  function startNewConversation(id) {
    state.conversations[id] = {conversationId: newConversationId(), sent: false, resetNext: true, nodes: []};
    return state.conversations[id];
  }

  function select(id) {
    state.selected = id;
    const ready = !!id;
    $('chatTarget').textContent = id ? 'with ' + id : 'choose an instance';
    for (const control of ['chatInput', 'chatSend', 'fileInput', 'choiceButton']) $(control).disabled = !ready;
    const log = clear($('chatLog'));
    say($('chatMessage'), '');
    if (id) for (const node of conversation(id).nodes) log.appendChild(node);
    renderInstances();
    loadFiles();
    if (id) $('chatInput').focus();
  }

  function bubble(role, text) {
    const node = el('div', {class: 'bubble ' + role}, text);
    $('chatLog').appendChild(node);
    $('chatLog').scrollTop = $('chatLog').scrollHeight;
    return node;
  }

  async function send(event, again) {
    if (event) event.preventDefault();
    const id = state.selected;
    const text = again !== undefined ? again : $('chatInput').value.trim();
    if (!id || !text || state.streaming) return;
    say($('chatMessage'), '');
    state.streaming = {id, controller: new AbortController()};
    $('chatSend').disabled = true;
    const conv = conversation(id);
    await adoptInstanceConversation(id, conv);
    if (again === undefined) $('chatInput').value = '';
    conv.nodes.push(bubble('user', text));

    const thinking = el('div', {class: 'thinking'});
    const details = el('details', {open: $('chatThinking').checked, hidden: true}, el('summary', {}, 'Thinking'), thinking);
    const answer = el('div', {class: 'answer'});
    const extra = el('div', {});
    const status = el('div', {class: 'usage'}, 'waiting for the model…');
    const reply = el('div', {class: 'bubble assistant', 'data-streaming': 'true'}, details, answer, extra, status);
    $('chatLog').appendChild(reply);
    conv.nodes.push(reply);

    const controller = state.streaming.controller;
    $('chatStop').disabled = false;
    let answerText = '';
    const scroll = () => { $('chatLog').scrollTop = $('chatLog').scrollHeight; };
    const onEvent = (name, data) => {
      switch (name) {
        case 'mivrel.init_start': status.textContent = 'loading ' + (data.scope || 'model') + '…'; break;
        case 'mivrel.init_done': status.textContent = 'generating…'; break;
        case 'mivrel.init_failed':
          reply.classList.add('error');
          status.textContent = 'The instance could not be loaded: ' + ((data.error && data.error.message) || 'unknown error');
          break;
        case 'message.created': status.textContent = 'generating…'; break;
        case 'message.delta':
          if (data.type === 'thinking') { details.hidden = false; thinking.textContent += data.delta; }
          else if (data.type === 'text') { answerText += data.delta; answer.textContent = answerText.trimStart(); }
          break;
        case 'message.block_done':
          if (data.type === 'tool_use') extra.appendChild(el('div', {class: 'tool'}, 'tool call ' + (data.id || '') + ': ' + (data.raw || '')));
          break;
        case 'message.completed': {
          const message = data.message || {};
          const usage = message.usage || data.usage || {};
          // The finished text blocks replace what the deltas built up.
          const texts = (message.content || []).filter((b) => b.type === 'text').map((b) => b.text || '');
          if (texts.length) { answerText = texts.join('\n').trim(); answer.textContent = answerText; }
          const parts = [];
          if (usage.input_tokens !== undefined) parts.push(usage.input_tokens + ' in');
          if (usage.output_tokens !== undefined) parts.push(usage.output_tokens + ' out');
          if (usage.thinking_tokens) parts.push(usage.thinking_tokens + ' thinking');
          if (usage.ctx_used !== undefined && usage.ctx_size) parts.push('context ' + usage.ctx_used + '/' + usage.ctx_size);
          if (usage.stop_reason) parts.push('stop: ' + usage.stop_reason);
          status.textContent = parts.join(' · ') || 'done';
          break;
        }
        case 'message.error':
          reply.classList.add('error');
          status.textContent = 'Error: ' + ((data.error && data.error.message) || 'generation failed');
          break;
        case 'reply': status.textContent = 'done'; break;
        default: break;
      }
      scroll();
    };
    const options = {stream: true};
    if (conv.resetNext) options.mivrel_reset = true;
    const result = await streamEvents('/v1/mivrel/' + enc(id) + '/messages',
      {conversationId: conv.conversationId, messages: [{role: 'user', content: text}], options}, onEvent,
      controller.signal);
    reply.removeAttribute('data-streaming');
    if (!result.ok && result.error.code !== 'aborted') {
      reply.classList.add('error');
      status.textContent = 'No reply: see the message below.';
      sayError($('chatMessage'), result, 'The chat request');
      if (result.error.code === 'mivrel_occupied') offerWayOut(id, text);
    } else {
      // The instance has the turn now; later requests carry only new messages.
      conv.sent = true;
      conv.resetNext = false;
    }
    state.streaming = null;
    $('chatSend').disabled = !state.selected;
    $('chatStop').disabled = true;
    loadInstances();
  }

  // The instance holds another conversation (another page or client took
  // it): offer to continue that one or to start a new one, and resend.
  async function offerWayOut(id, text) {
    await loadInstances();
    const box = $('chatMessage').querySelector('.msg');
    if (!box || state.selected !== id) return;
    const holder = (instanceEntry(id) || {}).conversationId;
    box.appendChild(el('div', {class: 'row'},
      holder && holder !== conversation(id).conversationId ? el('button', {type: 'button', class: 'small', id: 'chatContinueOther', onclick: () => {
        state.conversations[id] = {conversationId: holder, sent: true, resetNext: false, nodes: conversation(id).nodes};
        send(null, text);
      }}, 'Continue its conversation') : null,
      el('button', {type: 'button', class: 'small primary', id: 'chatStartNew', onclick: () => {
        startNewConversation(id);
        select(id);
        send(null, text);
      }}, 'Start a new conversation and send again')));
  }

  async function stop() {
    if (!state.streaming) return;
    const result = await api('POST', '/v1/mivrel/' + enc(state.streaming.id) + '/stop');
    if (!result.ok && state.streaming) state.streaming.controller.abort();
  }

  // ---- files ---------------------------------------------------------------------
  async function loadFiles() {
    const body = clear($('files').tBodies[0]);
    $('noFiles').hidden = false;
    say($('filesMessage'), '');
    const id = state.selected;
    if (!id) return;
    const result = await api('GET', '/v1/mivrel/' + enc(id) + '/files');
    if (id !== state.selected) return;
    if (!result.ok) { sayError($('filesMessage'), result, 'Listing the files'); return; }
    const files = result.data.files || [];
    $('noFiles').hidden = files.length > 0;
    for (const file of files) {
      const url = '/v1/mivrel/' + enc(id) + '/files/' + enc(file.name);
      body.appendChild(el('tr', {'data-name': file.name},
        el('td', {}, el('a', {href: url, download: file.name}, file.name)),
        el('td', {}, Bv.formatBytes(file.size)),
        el('td', {}, el('button', {type: 'button', class: 'small danger', 'aria-label': 'Delete ' + file.name,
          onclick: () => deleteFile(id, file.name)}, 'Delete'))));
    }
  }

  const typesByExtension = {txt: 'text/plain', md: 'text/markdown', csv: 'text/csv', json: 'application/json',
    png: 'image/png', jpg: 'image/jpeg', jpeg: 'image/jpeg', webp: 'image/webp', wav: 'audio/wav', mp3: 'audio/mpeg',
    flac: 'audio/flac', webm: 'video/webm', mp4: 'video/mp4', pdf: 'application/pdf'};

  async function upload() {
    const input = $('fileInput');
    const file = input.files[0];
    const id = state.selected;
    if (!file || !id) return;
    const extension = (file.name.split('.').pop() || '').toLowerCase();
    const type = file.type || typesByExtension[extension] || 'application/octet-stream';
    say($('filesMessage'), 'Uploading ' + file.name + '…');
    const result = await api('POST', '/v1/mivrel/' + enc(id) + '/files', file, {contentType: type});
    input.value = '';
    if (!result.ok) { sayError($('filesMessage'), result, 'Uploading ' + file.name); return; }
    await loadFiles();
    say($('filesMessage'), 'Uploaded ' + file.name + ' as ' + result.data.file + '.', 'ok');
  }

  async function deleteFile(id, name) {
    if (!confirm('Delete ' + name + '?')) return;
    const result = await api('DELETE', '/v1/mivrel/' + enc(id) + '/files/' + enc(name));
    if (!result.ok) { sayError($('filesMessage'), result, 'Deleting ' + name); return; }
    await loadFiles();
    say($('filesMessage'), 'Deleted ' + name + '.', 'ok');
  }

  // ---- decision ------------------------------------------------------------------
  async function decide(event) {
    event.preventDefault();
    const id = state.selected;
    const choices = $('choiceOptions').value.split(',').map((s) => s.trim()).filter(Boolean);
    const query = $('choiceQuery').value.trim();
    if (!id || !query) return;
    say($('choiceResult'), 'Thinking about it…');
    const result = await api('POST', '/v1/mivrel/' + enc(id) + '/choice', {query, choices});
    if (!result.ok) { sayError($('choiceResult'), result, 'The decision'); return; }
    const confidence = typeof result.data.confidence === 'number' ? ' (' + (result.data.confidence * 100).toFixed(1) + ' %)' : '';
    say($('choiceResult'), 'Answer: ' + result.data.best_choice + confidence, 'ok');
  }

  // ---- start ---------------------------------------------------------------------------
  document.addEventListener('DOMContentLoaded', () => {
    $('createForm').addEventListener('submit', create);
    $('chatForm').addEventListener('submit', send);
    $('chatInput').addEventListener('keydown', (e) => {
      if (e.key === 'Enter' && !e.shiftKey) { e.preventDefault(); send(); }
    });
    $('chatStop').addEventListener('click', stop);
    $('newConversation').addEventListener('click', () => {
      if (!state.selected || state.streaming) return;
      startNewConversation(state.selected);
      select(state.selected);
      say($('chatMessage'), 'New conversation: the instance forgets the earlier turns when you send.', 'info');
    });
    $('fileInput').addEventListener('change', upload);
    $('choiceForm').addEventListener('submit', decide);
    $('refreshInstances').addEventListener('click', loadInstances);
    Bv.serviceBanner($('service'));
    loadModels();
    loadInstances();
    setInterval(() => { if (!document.hidden && !state.streaming) loadInstances(); }, 4000);
  });
})();
