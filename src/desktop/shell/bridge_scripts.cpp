#include "desktop/shell/bridge_scripts.h"

const char* pageBridgeScript() {
    return R"JS((function () {
  var handlers = window.webkit && window.webkit.messageHandlers;
  var host = handlers && handlers.brisvane;
  if (!host) return;
  window.chrome = window.chrome || {};
  if (window.chrome.webview) return;
  window.chrome.webview = {
    postMessage: function (message) { host.postMessage(message); }
  };
})();)JS";
}

const char* titleBarScript() {
    return R"JS((function () {
  if (document.getElementById('appTitlebar') || !document.body) return;
  var post = function (m) { window.chrome.webview.postMessage(m); };
  var bar = document.createElement('div');
  bar.id = 'appTitlebar';
  bar.style.cssText = 'position:fixed;top:0;left:0;right:0;width:100%;height:38px;background:#1e1e2e;' +
    'color:#fff;display:flex;align-items:center;padding:0 12px;z-index:99999;user-select:none;' +
    '-webkit-user-select:none;box-sizing:border-box;-webkit-app-region:drag;';
  var title = document.createElement('span');
  title.textContent = 'Brisvane';
  title.style.cssText = 'flex:1;font-size:13px;font-weight:600;';
  bar.appendChild(title);
  [['_tbMin', '\u2212', 'minimize'], ['_tbMax', '\u25A1', 'maximize'], ['_tbClose', '\u2715', 'close']]
    .forEach(function (b) {
      var button = document.createElement('button');
      button.id = b[0];
      button.textContent = b[1];
      button.style.cssText = 'background:none;border:none;color:#fff;font-size:16px;cursor:pointer;' +
        'padding:0 8px;-webkit-app-region:no-drag;';
      button.addEventListener('click', function () { post(b[2]); });
      bar.appendChild(button);
    });
  bar.addEventListener('mousedown', function (e) {
    if (e.target === bar || e.target.tagName === 'SPAN') post('dragstart');
  });
  document.body.prepend(bar);
})();)JS";
}
