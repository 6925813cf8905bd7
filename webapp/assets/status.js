// The runtime status page: live figures from systemStatus with small
// charts, the server's facts and the instances with their token counters.
// Token counters come from the command-line status, which every server
// version has.
'use strict';

(() => {
  const {el, clear, api, say, sayError} = Bv;
  const $ = (id) => document.getElementById(id);
  const history = {cpu: [], mem: []};
  const kSamples = 60;
  let timer = null;

  function chart(svg, values) {
    clear(svg);
    if (values.length < 2) return;
    const step = 120 / (kSamples - 1);
    const start = 120 - (values.length - 1) * step;
    const points = values.map((v, i) => (start + i * step).toFixed(1) + ',' + (40 - Math.max(0, Math.min(100, v)) * 0.4).toFixed(1));
    const ns = 'http://www.w3.org/2000/svg';
    const area = document.createElementNS(ns, 'polygon');
    area.setAttribute('class', 'area');
    area.setAttribute('points', start.toFixed(1) + ',40 ' + points.join(' ') + ' 120,40');
    const line = document.createElementNS(ns, 'polyline');
    line.setAttribute('points', points.join(' '));
    svg.appendChild(area);
    svg.appendChild(line);
  }

  function push(series, value) {
    series.push(value);
    if (series.length > kSamples) series.shift();
  }

  function fact(list, name, value) {
    list.appendChild(el('dt', {}, name));
    list.appendChild(el('dd', {}, value === null || value === undefined || value === '' ? '–' : String(value)));
  }

  let systemStatusMissing = false;
  async function refreshFigures() {
    if (systemStatusMissing) return null;
    const result = await api('GET', '/mgmt-api/systemStatus');
    if (!result.ok) {
      if (Bv.missingEndpoint(result)) systemStatusMissing = true;
      sayError($('statusMessage'), result, 'Reading the system figures');
      return null;
    }
    say($('statusMessage'), '');
    const usage = result.data.usage || {};
    const cpu = usage.cpu || {};
    $('cpuFigure').textContent = typeof cpu.percent === 'number' ? cpu.percent.toFixed(1) + ' %' : 'measuring…';
    $('cpuDetail').textContent = (cpu.coreCount || '?') + ' logical processors';
    if (typeof cpu.percent === 'number') push(history.cpu, cpu.percent);
    chart($('cpuChart'), history.cpu);
    const mem = usage.memory || {};
    $('memFigure').textContent = typeof mem.percent === 'number' ? mem.percent + ' %' : '–';
    $('memDetail').textContent = Bv.formatNumber(mem.usedGB) + ' of ' + Bv.formatNumber(mem.totalGB) + ' GB used';
    if (typeof mem.percent === 'number') push(history.mem, mem.percent);
    chart($('memChart'), history.mem);
    const disk = usage.storage || {};
    $('diskFigure').textContent = Bv.formatNumber(disk.freeGB) + ' GB free';
    $('diskDetail').textContent = (disk.modelDirPath || '') + ' · ' + Bv.formatNumber(disk.totalGB) + ' GB in all';
    const gpus = usage.gpu || [];
    $('gpuFigure').textContent = gpus.length ? gpus.length + ' device' + (gpus.length > 1 ? 's' : '') : 'none';
    $('gpuDetail').textContent = gpus.length
      ? gpus.map((g) => g.name + ': ' + Bv.formatNumber(g.memoryUsedGB) + ' / ' + Bv.formatNumber(g.memoryTotalGB) + ' GB').join('; ')
      : 'inference runs on the processor';
    return result.data;
  }

  async function refresh() {
    const [system, cli] = await Promise.all([refreshFigures(), api('GET', '/mgmt-api/cli/status')]);
    const facts = clear($('serverFacts'));
    const server = system && system.server ? system.server : {};
    const process = cli.ok ? cli.data.process || {} : {};
    fact(facts, 'Status', server.status || (cli.ok ? 'running' : 'unreachable'));
    fact(facts, 'Version', server.version || process.version);
    fact(facts, 'Endpoint', server.endpoint || (process.port ? '127.0.0.1:' + process.port : ''));
    fact(facts, 'Uptime', server.uptime);
    fact(facts, 'Device id', server.brisvaneId || process.brisvaneId || 'not registered');
    fact(facts, 'Relay', server.gatewayStatus || process.gatewayStatus);

    const body = clear($('instanceTable').tBodies[0]);
    const live = {};
    if (cli.ok) for (const m of (cli.data.inference || {}).mivrels || []) live[m.id] = m;
    const rows = system && Array.isArray(system.mivrelList)
      ? system.mivrelList.map((m) => ({id: m.mivrelId, name: m.name, status: m.status, used: m.contextUsed, size: m.contextSize,
                                        gens: m.generationIndex, out: m.lifetimeOutputTokens}))
      : Object.values(live).map((m) => ({id: m.id, name: m.name, status: m.status, used: null, size: m.nCtx, gens: null, out: null}));
    if (!cli.ok && !system) sayError($('statusMessage'), cli, 'Reading the server status');
    if (rows.length === 0) body.appendChild(el('tr', {}, el('td', {colspan: 6, class: 'muted'}, 'No instances.')));
    for (const row of rows) {
      const counters = live[row.id] || {};
      body.appendChild(el('tr', {'data-id': row.id},
        el('td', {}, el('div', {}, row.name || row.id), el('div', {class: 'muted mono'}, row.id)),
        el('td', {}, el('span', {class: 'badge ' + String(row.status).replace(/[^a-z_]/gi, '')}, row.status)),
        el('td', {}, row.used !== null && row.used !== undefined ? row.used + ' / ' + row.size : (row.size || '–')),
        el('td', {class: 'tokens-in'}, counters.inTokens !== undefined ? String(counters.inTokens) : '–'),
        el('td', {class: 'tokens-out'}, counters.outTokens !== undefined ? String(counters.outTokens) : (row.out !== null && row.out !== undefined ? String(row.out) : '–')),
        el('td', {}, row.gens !== null && row.gens !== undefined ? String(row.gens) : '–')));
    }
  }

  function schedule() {
    clearTimeout(timer);
    if ($('live').checked) timer = setTimeout(async () => { if (!document.hidden) await refresh(); schedule(); }, 2000);
  }

  document.addEventListener('DOMContentLoaded', async () => {
    $('live').addEventListener('change', schedule);
    Bv.serviceBanner($('service'));
    await refresh();
    schedule();
  });
})();
