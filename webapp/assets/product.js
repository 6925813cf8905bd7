// The product-information document laid out for a person.
'use strict';

(() => {
  const {el, clear, api, sayError, say} = Bv;
  const $ = (id) => document.getElementById(id);
  const reasons = {
    no_nvidia_gpu: 'no NVIDIA graphics device was found', no_nvidia_driver: 'the NVIDIA driver is missing',
    driver_cuda_too_old: 'the NVIDIA driver is too old for CUDA 12', gpu_arch_unsupported: 'the GPU generation is not supported',
    gpu_backend_not_loaded: 'the GPU back end is not loaded', cpu_backend_not_loaded: 'the processor back end is not loaded',
    media_engine_not_loaded: 'the media engine is not installed', gpu_inference_unavailable: 'it needs GPU inference',
  };
  const features = {gpu_inference: 'Inference on the GPU', cpu_offload: 'Inference on the processor', image_gen: 'Image generation'};
  const badge = (text) => el('span', {class: 'badge ' + String(text).replace(/[^a-z_]/gi, '')}, text);

  function facts(list, pairs) {
    clear(list);
    for (const [name, value] of pairs) {
      if (value === undefined || value === null || value === '') continue;
      list.appendChild(el('dt', {}, name));
      list.appendChild(el('dd', {}, String(value)));
    }
  }

  async function load(refresh) {
    const result = await api('GET', '/mgmt-api/productInfo' + (refresh ? '?refresh=1' : ''));
    if (!result.ok) { sayError($('productMessage'), result, 'Reading the product information'); return; }
    say($('productMessage'), '');
    const d = result.data || {};
    const p = d.product || {};
    facts($('productFacts'), [['Version', p.version], ['Build', [p.buildConfig, p.buildDate].filter(Boolean).join(', ')],
      ['Installed in', p.installDir], ['Made by', p.team]]);
    const os = d.os || {};
    facts($('osFacts'), [['Name', os.name], ['Version', os.version], ['Platform', os.platform], ['Support', os.supported]]);
    const cpu = d.cpu || {};
    facts($('cpuFacts'), [['Name', cpu.name], ['Logical processors', cpu.threadCount], ['Available to Brisvane', cpu.allocatedCoreCount]]);
    const cap = d.capacity || {};
    const est = cap.estimate || {};
    const size = (e) => e ? 'about ' + e.q4 + ' B parameters at 4 bits, ' + e.q8 + ' B at 8 bits' : undefined;
    facts($('capacityFacts'), [['Graphics memory', cap.vramGB !== undefined ? cap.vramGB + ' GB' : undefined],
      ['Main memory', cap.ramGB !== undefined ? cap.ramGB + ' GB' : undefined], ['On the GPU', size(est.gpu)],
      ['On the processor', size(est.cpuOffload)],
      ['Free for models', cap.modelsDiskFreeGB !== undefined ? cap.modelsDiskFreeGB + ' GB in ' + cap.modelsDir : undefined]]);

    const conclusions = clear($('conclusions'));
    for (const c of d.conclusion || []) {
      conclusions.appendChild(el('li', {}, badge(c.status), ' ', features[c.id] || c.id,
        c.reason ? el('span', {class: 'muted'}, ': ' + (reasons[c.reason] || c.reason)) : null));
    }
    const diagnostics = clear($('diagnostics'));
    if (!(d.diagnostics || []).length) diagnostics.appendChild(el('li', {class: 'muted'}, 'No issues found.'));
    for (const issue of d.diagnostics || []) {
      diagnostics.appendChild(el('li', {'data-code': issue.code}, badge(issue.level), ' ', issue.message,
        el('span', {class: 'muted mono'}, ' (' + issue.code + ')')));
    }
    const components = clear($('components').tBodies[0]);
    for (const c of d.components || []) {
      components.appendChild(el('tr', {},
        el('td', {}, c.name || c.id, c.error ? el('div', {class: 'muted'}, c.error) : null,
          Array.isArray(c.devices) && c.devices.length ? el('div', {class: 'muted'}, c.devices.join('; ')) : null),
        el('td', {class: 'mono'}, c.version || '–'), el('td', {}, badge(c.status))));
    }
    const devices = clear($('devices').tBodies[0]);
    if (!(d.devices || []).length) devices.appendChild(el('tr', {}, el('td', {colspan: 3, class: 'muted'}, 'No graphics devices found.')));
    for (const dev of d.devices || []) {
      devices.appendChild(el('tr', {},
        el('td', {}, dev.name || '–', el('div', {class: 'muted'}, dev.vendor + (dev.computeCap ? ' · compute ' + dev.computeCap : ''))),
        el('td', {}, dev.memoryGB !== undefined ? dev.memoryGB + ' GB' : '–'), el('td', {}, badge(dev.status))));
    }
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('refresh').addEventListener('click', () => load(true));
    load(false);
  });
})();
