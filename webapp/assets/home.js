'use strict';
(async () => {
  const on = await Bv.serviceBanner(document.getElementById('service'));
  document.getElementById('serviceState').textContent = on === null ? '?' : on ? 'on' : 'off';
  const list = await Bv.api('GET', '/mgmt-api/mivrelList');
  if (!list.ok) { Bv.sayError(document.getElementById('message'), list, 'Listing the instances'); return; }
  const instances = list.data.mivrelList || [];
  document.getElementById('instanceCount').textContent = instances.length;
  document.getElementById('loadedCount').textContent = instances.filter((i) => i.loaded).length;
})();
