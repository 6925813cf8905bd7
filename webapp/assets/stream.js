// Reads the server-sent events of a streamed POST (the chat endpoint) as
// they arrive. EventSource cannot send a body, so the stream is read from
// fetch and split into frames here.
'use strict';

// Calls onEvent(name, data) for every frame ("data" parsed as JSON when it
// is JSON) and onEvent('done', null) at "data: [DONE]". Resolves to the
// result of Bv.api's shape: an error reply that came before the stream
// started is returned as {ok: false, status, error}.
async function streamEvents(path, body, onEvent, signal) {
  let response;
  try {
    response = await fetch(path, {method: 'POST', headers: {'Content-Type': 'application/json'},
                                  body: JSON.stringify(body), signal});
  } catch (e) {
    if (e.name === 'AbortError') return {ok: false, status: 0, path, error: {code: 'aborted', message: 'stopped'}};
    return {ok: false, status: 0, path, error: {code: 'unreachable', message: e.message}};
  }
  const type = response.headers.get('Content-Type') || '';
  if (!response.ok || !type.startsWith('text/event-stream')) {
    const text = await response.text();
    let data = null;
    try { data = JSON.parse(text); } catch (e) { data = text; }
    if (response.ok) { onEvent('reply', data); return {ok: true, status: response.status, data, path}; }
    const err = data && data.error ? data.error : {};
    return {ok: false, status: response.status, data, path,
            error: {code: err.code || 'http_' + response.status, message: err.message || response.statusText}};
  }
  const reader = response.body.getReader();
  const decoder = new TextDecoder();
  let buffer = '';
  const dispatch = (frame) => {
    let name = 'message';
    const data = [];
    for (const line of frame.split('\n')) {
      if (line.startsWith('event:')) name = line.slice(6).trim();
      else if (line.startsWith('data:')) data.push(line.slice(5).replace(/^ /, ''));
    }
    const text = data.join('\n');
    if (text === '[DONE]') { onEvent('done', null); return; }
    let parsed = text;
    try { parsed = JSON.parse(text); } catch (e) { /* keep the text */ }
    onEvent(name, parsed);
  };
  try {
    for (;;) {
      const {value, done} = await reader.read();
      if (done) break;
      buffer += decoder.decode(value, {stream: true}).replace(/\r\n/g, '\n');
      let end;
      while ((end = buffer.indexOf('\n\n')) >= 0) {
        const frame = buffer.slice(0, end);
        buffer = buffer.slice(end + 2);
        if (frame.trim()) dispatch(frame);
      }
    }
  } catch (e) {
    if (e.name !== 'AbortError') return {ok: false, status: response.status, error: {code: 'stream_broken', message: e.message}};
  }
  if (buffer.trim()) dispatch(buffer);
  return {ok: true, status: response.status};
}
