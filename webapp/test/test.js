// The bare chat test page: one request, every event shown as it comes.
'use strict';

(() => {
  const {el, clear, api, say, sayError} = Bv;
  const $ = (id) => document.getElementById(id);
  let count = 0;
  let controller = null;

  function show(name, data) {
    count++;
    $('noEvents').hidden = true;
    $('eventCount').textContent = count + ' events';
    const text = typeof data === 'string' ? data : JSON.stringify(data);
    $('eventLog').appendChild(el('div', {class: 'event'}, el('span', {class: 'name'}, name), ' ', text === undefined ? '' : text));
    $('eventLog').scrollTop = $('eventLog').scrollHeight;
  }

  let instances = [];

  // A loaded instance answers 409 to any other conversation: offer the one
  // it holds.
  function useHeldConversation() {
    const item = instances.find((i) => i.mivrelId === $('testInstance').value);
    if (item && item.loaded && item.conversationId) $('testConversation').value = item.conversationId;
  }

  async function loadInstances() {
    const result = await api('GET', '/mgmt-api/mivrelList');
    const select = clear($('testInstance'));
    $('testSend').disabled = true;
    if (!result.ok) { sayError($('testMessageBox'), result, 'Listing the instances'); return; }
    instances = result.data.mivrelList || [];
    for (const item of instances) {
      select.appendChild(el('option', {value: item.mivrelId}, item.mivrelId + ' (' + Bv.instanceState(item) + ')'));
    }
    select.hidden = instances.length === 0;
    $('testNoInstances').hidden = instances.length > 0;
    $('testSend').disabled = instances.length === 0;
    useHeldConversation();
  }

  async function send(event) {
    event.preventDefault();
    let options;
    try { options = JSON.parse($('testOptions').value || '{}'); } catch (e) { say($('testMessageBox'), 'Options are not JSON: ' + e.message, 'error'); return; }
    const id = $('testInstance').value;
    if (!id) { say($('testMessageBox'), 'Choose an instance.', 'error'); return; }
    say($('testMessageBox'), '');
    controller = new AbortController();
    $('testSend').disabled = true;
    show('request', {conversationId: $('testConversation').value, options});
    const result = await streamEvents('/v1/mivrel/' + encodeURIComponent(id) + '/messages',
      {conversationId: $('testConversation').value, messages: [{role: 'user', content: $('testMessage').value}], options},
      show, controller.signal);
    if (!result.ok) { show('http ' + result.status, result.data || result.error); sayError($('testMessageBox'), result, 'The request'); }
    $('testSend').disabled = !$('testInstance').value;
    controller = null;
  }

  document.addEventListener('DOMContentLoaded', () => {
    $('testForm').addEventListener('submit', send);
    $('testStop').addEventListener('click', async () => {
      const id = $('testInstance').value;
      if (id) { const r = await api('POST', '/v1/mivrel/' + encodeURIComponent(id) + '/stop'); show('stop', r.data || r.error); }
    });
    $('testClear').addEventListener('click', () => {
      clear($('eventLog'));
      count = 0;
      $('eventCount').textContent = '0 events';
      $('noEvents').hidden = false;
    });
    $('testInstance').addEventListener('change', useHeldConversation);
    Bv.serviceBanner($('service'));
    loadInstances();
  });
})();
