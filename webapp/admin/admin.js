// Administration: the service switch, models (catalogue, downloads, local
// registration, properties, deletion), instances and their settings, the
// event log and the runtime properties.
'use strict';

(() => {
  const {el, clear, api, say, sayError} = Bv;
  const $ = (id) => document.getElementById(id);
  const enc = encodeURIComponent;

  function badge(text) {
    return el('span', {class: 'badge ' + String(text).replace(/[^a-z_]/gi, '')}, text);
  }
  function smallButton(label, target, onclick, extra = {}) {
    return el('button', Object.assign({type: 'button', class: 'small', 'aria-label': label + ' ' + target, onclick}, extra), label);
  }

  // A JSON merge patch that turns `before` into `after` (top-level keys).
  function mergePatch(before, after) {
    const patch = {};
    for (const key of Object.keys(before)) if (!(key in after)) patch[key] = null;
    for (const [key, value] of Object.entries(after)) {
      if (JSON.stringify(before[key]) !== JSON.stringify(value)) patch[key] = value;
    }
    return patch;
  }

  // ---- service ---------------------------------------------------------------------
  async function loadService() {
    const facts = clear($('serviceFacts'));
    const [props, status] = await Promise.all([api('GET', '/mgmt-api/runtime_properties'), api('GET', '/mgmt-api/cli/status')]);
    const fact = (name, value) => { facts.appendChild(el('dt', {}, name)); facts.appendChild(el('dd', {}, value)); };
    if (props.ok) {
      const on = String((props.data.properties || {}).BRISVANE_EXPORT || '').toLowerCase() === 'true';
      fact('Inference service', badge(on ? 'on' : 'off'));
      $('serviceOn').disabled = on;
      $('serviceOnLocal').disabled = on;
      $('serviceOff').disabled = !on;
    } else {
      sayError($('serviceMessage'), props, 'Reading the runtime properties');
    }
    if (status.ok) {
      const p = status.data.process || {};
      fact('Version', p.version || '–');
      fact('Port', String(p.port || '–'));
      fact('Device id', p.brisvaneId || 'not registered');
      fact('Relay', p.gatewayStatus || '–');
    }
  }

  // The http(s) URL `text` names, in its parsed form, or null.
  function webUrl(text) {
    try {
      const url = new URL(String(text));
      return url.protocol === 'http:' || url.protocol === 'https:' ? url.href : null;
    } catch (e) {
      return null;
    }
  }

  // Switches the inference service on for this machine alone, without the
  // Brisvane web service: the runtime property the switch itself sets.
  async function switchOnLocally() {
    say($('serviceMessage'), 'Switching on without registration…');
    const result = await api('PATCH', '/mgmt-api/runtime_properties', {BRISVANE_EXPORT: true});
    if (!result.ok) { sayError($('serviceMessage'), result, 'Switching on without registration'); }
    else { say($('serviceMessage'), 'The inference service is on for this machine (not registered).', 'ok'); }
    loadService();
    loadRuntime();
  }

  async function switchService(on) {
    say($('serviceMessage'), on ? 'Switching on…' : 'Switching off…');
    const result = await api('POST', on ? '/mgmt-api/cli/up' : '/mgmt-api/cli/down');
    if (result.ok) {
      say($('serviceMessage'), (result.data.success && result.data.success.message) || 'Done.', 'ok');
    } else if (result.error.code === 'pending_approval' && result.error.auth && result.error.auth.url) {
      clear($('serviceMessage')).hidden = false;
      // The URL comes from the web service: only a web address becomes a
      // link (a "javascript:" one would run in this page); any other is shown.
      const approval = webUrl(result.error.auth.url);
      $('serviceMessage').appendChild(el('div', {class: 'msg warn', role: 'status'}, result.error.message + ' ',
        approval ? el('a', {href: approval, 'data-external': true}, 'Approve this device')
                 : 'Approve this device at ' + String(result.error.auth.url),
        ', then switch on again.'));
    } else {
      sayError($('serviceMessage'), result, on ? 'Switching on' : 'Switching off');
      const box = $('serviceMessage').querySelector('.msg');
      if (on && box) {
        // Registration needs the Brisvane web service; the service can be
        // switched on without it.
        box.appendChild(el('div', {class: 'explain'},
          'Registration needs the Brisvane web service, which could not be used. ' +
          'This machine can use the inference service without registering:'));
        box.appendChild(el('div', {class: 'row'}, el('button', {type: 'button', class: 'small primary',
          id: 'serviceOnLocalOffer', onclick: switchOnLocally}, 'Switch on without registration')));
      }
    }
    loadService();
  }

  // ---- models ----------------------------------------------------------------------
  async function loadModels() {
    const body = clear($('modelTable').tBodies[0]);
    const result = await api('GET', '/mgmt-api/models');
    if (!result.ok) { sayError($('modelsMessage'), result, 'Listing the models'); return; }
    say($('modelsMessage'), '');
    const models = result.data.models || [];
    if (models.length === 0) body.appendChild(el('tr', {}, el('td', {colspan: 4, class: 'muted'}, 'No models registered.')));
    for (const model of models) {
      const id = model.modelId;
      body.appendChild(el('tr', {'data-id': id},
        el('td', {}, el('div', {}, model.name || id), el('div', {class: 'muted mono'}, id + (model.quantization ? ' · ' + model.quantization : ''))),
        el('td', {}, badge(model.status || 'unknown')),
        el('td', {}, Bv.formatBytes(model.fileSize)),
        el('td', {}, el('div', {class: 'row'},
          smallButton('Properties', id, () => openModelProperties(id)),
          model.status === 'downloading' ? smallButton('Pause', id, () => downloadAction(id, 'pauseDownload')) : null,
          model.status === 'downloading' ? smallButton('Cancel', id, () => downloadAction(id, 'cancelDownload')) : null,
          smallButton('Delete', id, () => deleteModel(id), {class: 'small danger'})))));
    }
  }

  async function deleteModel(id) {
    if (!confirm('Delete the model "' + id + '" and its files?')) return;
    const result = await api('POST', '/mgmt-api/models/' + enc(id) + '/delete');
    if (!result.ok) { sayError($('modelsMessage'), result, 'Deleting ' + id); return; }
    say($('modelsMessage'), 'Deleted ' + id + '.', 'ok');
    loadModels();
  }

  let downloadTimer = null;
  async function loadDownloads() {
    const body = clear($('downloadTable').tBodies[0]);
    const result = await api('GET', '/mgmt-api/models/download');
    if (!result.ok) { sayError($('downloadsMessage'), result, 'Listing the downloads'); return; }
    say($('downloadsMessage'), '');
    const downloads = result.data.downloads || [];
    if (downloads.length === 0) body.appendChild(el('tr', {}, el('td', {colspan: 4, class: 'muted'}, 'No downloads.')));
    let active = false;
    for (const d of downloads) {
      const running = d.status === 'downloading' || d.status === 'verifying';
      active = active || running;
      const percent = typeof d.progressPercent === 'number' ? d.progressPercent : 0;
      body.appendChild(el('tr', {'data-id': d.modelId},
        el('td', {}, el('div', {}, d.name || d.modelId), badge(d.status), d.errorMessage ? el('div', {class: 'muted'}, d.errorMessage) : null),
        el('td', {}, el('progress', {max: 100, value: percent, 'aria-label': 'Download of ' + d.modelId}),
          el('div', {class: 'muted'}, percent.toFixed(1) + ' % · ' + Bv.formatBytes(d.bytesDownloaded) + ' of ' + Bv.formatBytes(d.totalBytes))),
        el('td', {}, running ? Bv.formatBytes(d.speedBytesPerSec) + '/s' : '–'),
        el('td', {}, running ? el('div', {class: 'row'},
          smallButton('Pause', d.modelId, () => downloadAction(d.modelId, 'pauseDownload')),
          smallButton('Cancel', d.modelId, () => downloadAction(d.modelId, 'cancelDownload'))) : null)));
    }
    clearTimeout(downloadTimer);
    if (active) downloadTimer = setTimeout(() => { loadDownloads(); }, 1500);
    else if (downloads.length) loadModels();
  }

  async function downloadAction(id, action) {
    const result = await api('POST', '/mgmt-api/models/' + enc(id) + '/' + action);
    if (!result.ok) { sayError($('downloadsMessage'), result, action === 'pauseDownload' ? 'Pausing' : 'Cancelling'); return; }
    say($('downloadsMessage'), id + ': ' + result.data.status, 'ok');
    loadDownloads();
  }

  async function startDownload(modelId) {
    if (!modelId) return;
    say($('catalogMessage'), 'Asking the catalogue for ' + modelId + '…');
    const result = await api('POST', '/mgmt-api/models/download', {modelId});
    if (!result.ok) { sayError($('catalogMessage'), result, 'Starting the download'); return; }
    say($('catalogMessage'), 'Downloading ' + modelId + ': ' + result.data.fileCount + ' file(s), ' + Bv.formatBytes(result.data.fileSize) + '.', 'ok');
    loadModels();
    loadDownloads();
  }

  async function loadCatalog() {
    const table = $('catalogTable');
    const body = clear(table.tBodies[0]);
    say($('catalogMessage'), 'Asking the Brisvane service…');
    const result = await api('GET', '/mgmt-api/modelCatalog');
    if (!result.ok) {
      table.hidden = true;
      sayError($('catalogMessage'), result, 'Reading the catalogue');
      const box = $('catalogMessage').querySelector('.msg');
      if (box) {
        box.appendChild(el('div', {class: 'explain'},
          'The catalogue comes from the Brisvane web service. Without it, register a GGUF file from this machine ',
          el('a', {href: '#registerTitle'}, 'with the form below'), '.'));
      }
      return;
    }
    const data = result.data && result.data.data ? result.data.data : {};
    const models = Array.isArray(data.models) ? data.models : data.model ? [data.model] : [];
    if (result.data && result.data.retcode !== undefined && result.data.retcode !== 0) {
      say($('catalogMessage'), 'The catalogue answered with code ' + result.data.retcode + '.', 'warn');
      table.hidden = true;
      return;
    }
    say($('catalogMessage'), models.length ? '' : 'The catalogue lists no models.');
    table.hidden = models.length === 0;
    for (const m of models) {
      body.appendChild(el('tr', {},
        el('td', {}, el('div', {}, m.name || m.modelId), el('div', {class: 'muted mono'}, m.modelId || '')),
        el('td', {}, Bv.formatBytes(m.fileSize)),
        el('td', {}, smallButton('Download', m.modelId, () => startDownload(m.modelId)))));
    }
  }

  // The family types and assemblers this server knows, for the registration
  // form: the value written to the model's properties.json and what it means.
  const families = [
    ['LLM', 'A text model that chats: replies, thinking and tool calls.'],
    ['DECISION', 'A model that picks one of given choices from token probabilities.'],
    ['AUDIO', 'A text model with audio-generation weights: turns text into speech.'],
    ['IMAGE', 'An image model run by the media library: pictures from a prompt.'],
    ['VIDEO', 'A video model run by the media library: short clips with sound.'],
  ];
  const assemblers = [
    ['qwen3', 'Qwen3 models: ChatML prompts (<|im_start|>), thinking in <think> tags shown apart, tool calls.'],
    ['qwen35', 'Qwen3.5 models: the Qwen3 format in its newer form.'],
    ['gemma4', 'Gemma 4 models: their own turn markers, thinking and tool-call notation.'],
    ['gpt-oss', 'gpt-oss models: their channel format, with reasoning shown apart and tool calls.'],
    ['tolv', 'Tolv models: their turn markers, thinking and tool calls.'],
    ['default', 'Any other model: messages passed as plain text, the reply read as plain text (no thinking apart).'],
  ];

  function fillChoices(select, help, choices, preferred) {
    clear(select);
    for (const [value, sentence] of choices) select.appendChild(el('option', {value, title: sentence}, value));
    select.value = preferred;
    const explainChoice = () => {
      const found = choices.find(([value]) => value === select.value);
      help.textContent = found ? found[1] : '';
    };
    select.addEventListener('change', explainChoice);
    explainChoice();
  }

  async function registerLocal(event) {
    event.preventDefault();
    const body = {modelId: $('regId').value.trim(), name: $('regName').value.trim(),
                  storagePath: $('regPath').value.trim(), filename: $('regFile').value.trim(), format: 'gguf'};
    const properties = {familyType: $('regFamily').value, assembler: $('regAssembler').value};
    $('regButton').disabled = true;
    const result = await api('POST', '/mgmt-api/models/registerLocal', body);
    if (!result.ok) {
      $('regButton').disabled = false;
      sayError($('registerMessage'), result, 'Registering the model');
      return;
    }
    // The registration itself takes no properties: they follow as a patch.
    const patched = await api('PATCH', '/mgmt-api/models/' + enc(result.data.modelId) + '/properties', properties);
    $('regButton').disabled = false;
    if (!patched.ok) {
      sayError($('registerMessage'), patched, 'Registered ' + result.data.modelId + ', but writing its properties');
    } else {
      say($('registerMessage'), 'Registered ' + result.data.modelId + ' (' + properties.familyType + ', assembler ' +
        properties.assembler + ').', 'ok');
    }
    $('registerForm').reset();
    $('regFamily').value = 'LLM';
    $('regAssembler').value = 'qwen3';
    $('regFamily').dispatchEvent(new Event('change'));
    $('regAssembler').dispatchEvent(new Event('change'));
    loadModels();
  }

  // ---- property editors --------------------------------------------------------------
  // `missing(result)`, when given, tells a document that does not exist yet
  // apart from a failure: the editor then starts from an empty one and shows
  // the text `missing` returns.
  function editor(prefix, title, load, save, missing) {
    let before = {};
    const box = $(prefix);
    const message = $(prefix + 'Message');
    return {
      async open() {
        box.hidden = false;
        $(prefix + 'Title').textContent = title();
        say(message, 'Loading…');
        const result = await load();
        const absent = !result.ok && missing ? missing(result) : '';
        if (absent) {
          before = {};
          $(prefix + 'Text').value = '{}';
          say(message, absent, 'info');
          return;
        }
        if (!result.ok) { $(prefix + 'Text').value = ''; sayError(message, result, 'Reading the properties'); return; }
        before = result.data.properties || {};
        $(prefix + 'Text').value = JSON.stringify(before, null, 2);
        say(message, '');
        $(prefix + 'Text').focus();
      },
      async save() {
        let after;
        try { after = JSON.parse($(prefix + 'Text').value); } catch (e) { say(message, 'Not JSON: ' + e.message, 'error'); return; }
        if (!after || typeof after !== 'object' || Array.isArray(after)) { say(message, 'The properties must be a JSON object.', 'error'); return; }
        const result = await save(mergePatch(before, after));
        if (!result.ok) { sayError(message, result, 'Saving the properties'); return; }
        before = result.data.properties || after;
        $(prefix + 'Text').value = JSON.stringify(before, null, 2);
        say(message, 'Saved.', 'ok');
      },
      close() { box.hidden = true; },
    };
  }

  let modelId = null;
  // A model registered from disk has no properties.json until something is
  // saved: the server answers that read with 500 "failed to read
  // properties.json", which here means "none yet", not a fault.
  const modelEditor = editor('modelProperties', () => 'Properties of model ' + modelId,
    () => api('GET', '/mgmt-api/models/' + enc(modelId) + '/properties'),
    (patch) => api('PATCH', '/mgmt-api/models/' + enc(modelId) + '/properties', patch),
    (result) => result.status === 500 && /^failed to read properties\.json/.test(result.error.message)
      ? 'No properties yet: the model runs as familyType "LLM" with the "default" assembler. Known keys: ' +
        '"familyType" (LLM, DECISION, AUDIO, IMAGE, VIDEO), "assembler" (qwen3, qwen35, gemma4, gpt-oss, tolv, default), ' +
        '"files" (role → file name), "genDefaults" (temperature, top_k, top_p, …), "loadDefaults" (n_ctx, n_gpu_layers, …), ' +
        '"n_ctx_size", "think" and "tool_call" ({"begin", "end"} tags). Write them above and save.'
      : '');
  function openModelProperties(id) { modelId = id; modelEditor.open(); }

  let instanceId = null;
  const instanceEditor = editor('instanceProperties', () => 'Properties of instance ' + instanceId,
    () => api('GET', '/mgmt-api/mivrel/' + enc(instanceId) + '/properties'),
    (patch) => api('PATCH', '/mgmt-api/mivrel/' + enc(instanceId) + '/properties', patch));
  function openInstanceProperties(id) { instanceId = id; instanceEditor.open(); }

  // ---- instances ---------------------------------------------------------------------
  async function loadInstances() {
    const body = clear($('instanceTable').tBodies[0]);
    const result = await api('GET', '/mgmt-api/mivrelList');
    if (!result.ok) { sayError($('instancesMessage'), result, 'Listing the instances'); return; }
    const list = result.data.mivrelList || [];
    if (list.length === 0) body.appendChild(el('tr', {}, el('td', {colspan: 5, class: 'muted'}, 'No instances. Create one in the application.')));
    for (const item of list) {
      const id = item.mivrelId;
      const props = item.properties || {};
      const action = (name, label) => smallButton(label, id, () => instanceAction(id, name), name === 'delete' ? {class: 'small danger'} : {});
      body.appendChild(el('tr', {'data-id': id},
        el('td', {}, el('div', {}, props.name || id), el('div', {class: 'muted mono'}, id)),
        el('td', {class: 'mono'}, props.modelId || '–'),
        el('td', {}, badge(Bv.instanceState(item))),
        el('td', {}, contextText(item)),
        el('td', {}, el('div', {class: 'row'},
          action('start', 'Start'), action('stop', 'Stop'), action('unload', 'Unload'), action('reset', 'Reset'),
          action('reload', 'Reload'), smallButton('Properties', id, () => openInstanceProperties(id)), action('delete', 'Delete')))));
    }
  }

  // The context a loaded instance really runs with (the model's trained
  // context caps what the settings ask for), beside what they ask.
  function contextText(item) {
    const asked = (item.properties || {}).n_ctx;
    if (!item.loaded) return typeof asked === 'number' ? 'asks ' + asked + ' tokens' : '–';
    if (!item.contextSize) return 'loaded';
    const runs = item.contextUsed + ' / ' + item.contextSize + ' tokens';
    return typeof asked === 'number' && asked !== item.contextSize
      ? el('span', {}, runs, el('div', {class: 'muted'}, 'asked ' + asked + ', the model allows ' + item.contextSize))
      : runs;
  }

  async function instanceAction(id, name) {
    if (name === 'delete' && !confirm('Delete the instance "' + id + '" with its files?')) return;
    const result = await api('POST', '/mgmt-api/mivrel/' + enc(id) + '/' + name);
    if (!result.ok) { sayError($('instancesMessage'), result, name + ' ' + id); return; }
    say($('instancesMessage'), id + ': ' + result.data.status, 'ok');
    loadInstances();
  }

  // ---- event log -----------------------------------------------------------------------
  async function loadEvents() {
    const body = clear($('eventTable').tBodies[0]);
    const result = await api('GET', '/mgmt-api/events?limit=200');
    if (!result.ok) { sayError($('eventsMessage'), result, 'Reading the event log'); return; }
    const events = result.data.events || [];
    if (events.length === 0) body.appendChild(el('tr', {}, el('td', {colspan: 5, class: 'muted'}, 'The event log is empty.')));
    for (const e of events) {
      body.appendChild(el('tr', {'data-id': e.eventId},
        el('td', {class: 'mono'}, e.time),
        el('td', {}, badge(e.level)),
        el('td', {}, e.category + (e.actor ? ' · ' + e.actor : '')),
        el('td', {}, el('div', {}, e.text), e.detail ? el('div', {class: 'muted'}, e.detail) : null),
        el('td', {}, smallButton('Delete', e.eventId, () => deleteEvent(e.eventId)))));
    }
  }

  async function deleteEvent(id) {
    const result = await api('POST', '/mgmt-api/events/' + enc(id) + '/delete');
    if (!result.ok) { sayError($('eventsMessage'), result, 'Deleting the event'); return; }
    loadEvents();
  }

  async function clearEvents() {
    if (!confirm('Remove every event from the log?')) return;
    const result = await api('POST', '/mgmt-api/events/clear');
    if (!result.ok) { sayError($('eventsMessage'), result, 'Clearing the event log'); return; }
    say($('eventsMessage'), 'The event log was cleared.', 'ok');
    loadEvents();
  }

  // ---- runtime properties -----------------------------------------------------------------
  async function loadRuntime() {
    const body = clear($('runtimeTable').tBodies[0]);
    const result = await api('GET', '/mgmt-api/runtime_properties');
    if (!result.ok) { sayError($('runtimeMessage'), result, 'Reading the runtime properties'); return; }
    const props = result.data.properties || {};
    for (const key of Object.keys(props).sort()) {
      // Keys and tokens stay hidden unless asked for.
      const secret = /TOKEN|KEY|SECRET/.test(key);
      const value = el('span', {class: 'mono'}, secret ? '••••••' : props[key]);
      body.appendChild(el('tr', {},
        el('td', {class: 'mono'}, key),
        el('td', {}, value, secret ? el('button', {type: 'button', class: 'small', style: 'margin-left:8px',
          'aria-label': 'Show ' + key, onclick: (e) => { value.textContent = props[key]; e.target.remove(); }}, 'Show') : null)));
    }
  }

  async function setRuntime(event) {
    event.preventDefault();
    const key = $('runtimeKey').value.trim();
    if (!/^[A-Z0-9_]+$/.test(key)) { say($('runtimeMessage'), 'Keys are capital letters, digits and "_".', 'error'); return; }
    const result = await api('PATCH', '/mgmt-api/runtime_properties', {[key]: $('runtimeValue').value});
    if (!result.ok) { sayError($('runtimeMessage'), result, 'Setting ' + key); return; }
    say($('runtimeMessage'), key + ' was set.', 'ok');
    loadRuntime();
    loadService();
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('serviceOn').addEventListener('click', () => switchService(true));
    $('serviceOff').addEventListener('click', () => switchService(false));
    $('serviceOnLocal').addEventListener('click', switchOnLocally);
    fillChoices($('regFamily'), $('regFamilyHelp'), families, 'LLM');
    fillChoices($('regAssembler'), $('regAssemblerHelp'), assemblers, 'qwen3');
    $('serviceRefresh').addEventListener('click', loadService);
    $('modelsRefresh').addEventListener('click', () => { loadModels(); loadDownloads(); });
    $('catalogForm').addEventListener('submit', (e) => { e.preventDefault(); startDownload($('catalogId').value.trim()); });
    $('catalogLoad').addEventListener('click', loadCatalog);
    $('registerForm').addEventListener('submit', registerLocal);
    $('modelPropertiesSave').addEventListener('click', () => modelEditor.save());
    $('modelPropertiesClose').addEventListener('click', () => modelEditor.close());
    $('instancePropertiesSave').addEventListener('click', () => instanceEditor.save());
    $('instancePropertiesClose').addEventListener('click', () => instanceEditor.close());
    $('instancesRefresh').addEventListener('click', loadInstances);
    $('eventsRefresh').addEventListener('click', loadEvents);
    $('eventsClear').addEventListener('click', clearEvents);
    $('runtimeRefresh').addEventListener('click', loadRuntime);
    $('runtimeForm').addEventListener('submit', setRuntime);
    loadService();
    loadModels();
    loadDownloads();
    loadInstances();
    loadEvents();
    loadRuntime();
  });
})();
