// Stands in for the web view's message handler: what the runtime's native-bridge.js posts to
// webkit.messageHandlers.bridge goes over a WebSocket to the app, and every frame the app sends
// back goes to Capacitor.fromNative. Loaded before native-bridge.js, which looks for the handler
// to decide that the platform is "ios".
(function () {
  'use strict';
  var config = window.__capacitorBridge;
  var queued = [];       // frames posted before the socket opened, in order
  var pending = new Map();  // callbackId -> call, for promise calls still unanswered
  var socket = null;
  var state = 'connecting';  // then 'open', then 'closed'

  function unavailable(callbackId, call) {
    window.Capacitor.fromNative({
      callbackId: callbackId,
      pluginId: call.pluginId,
      methodName: call.methodName,
      save: false,
      success: false,
      error: {message: 'The native bridge is unavailable', code: 'UNAVAILABLE'},
    });
  }

  function postMessage(data) {
    var callbackId = data && data.callbackId;
    var listenerCall = data && (data.methodName === 'addListener' || data.methodName === 'removeListener');
    if (typeof callbackId === 'string' && callbackId !== '-1' && !listenerCall) {
      pending.set(callbackId, {pluginId: data.pluginId, methodName: data.methodName});
    }
    if (state === 'closed') {
      if (pending.has(callbackId)) {
        var call = pending.get(callbackId);
        pending.delete(callbackId);
        // Asynchronously, as an answer from the app would come.
        setTimeout(function () { unavailable(callbackId, call); }, 0);
      }
      return;
    }
    var text = JSON.stringify(data);
    if (state === 'open') socket.send(text); else queued.push(text);
  }

  window.webkit = window.webkit || {};
  window.webkit.messageHandlers = window.webkit.messageHandlers || {};
  window.webkit.messageHandlers.bridge = {postMessage: postMessage};

  // native-bridge.js asks the web view synchronously at start-up (cookies, HTTP patching) through
  // prompt(); the app patches neither, so each such question is answered "false".
  var nativePrompt = window.prompt;
  window.prompt = function (text) {
    try {
      var payload = JSON.parse(text);
      if (payload && typeof payload.type === 'string') return 'false';
    } catch (e) { /* not one of the runtime's questions */ }
    return nativePrompt.apply(window, arguments);
  };

  // The socket key: the app gives it in the fragment of the page's address ("#key="), which the
  // browser sends to no server; a request it sends to every port of 127.0.0.1 (a cookie) would
  // reach other users' listeners too. Kept in this tab's sessionStorage for reloads, and taken
  // out of the address bar so that it is neither shown nor copied with the address. The socket's
  // first frame is the key for the next socket, kept in its place; once the app hears that it
  // was kept, the key it replaces (the one in the address) opens nothing.
  var storageName = 'capacitor-bridge-key';
  function keepKey(key) {
    try {
      window.sessionStorage.setItem(storageName, key);
    } catch (e) { /* storage disabled: this load has its socket, a reload will not */ }
  }
  function socketKey() {
    var match = /^#(?:.*&)?key=([0-9a-f]+)(?:&|$)/.exec(window.location.hash);
    var key = match ? match[1] : null;
    if (key) {
      keepKey(key);
    } else {
      try {
        key = window.sessionStorage.getItem(storageName);
      } catch (e) { /* storage disabled: no key but the address's */ }
    }
    if (match) {
      var rest = window.location.hash.slice(1).split('&').filter(function (part) {
        return part.lastIndexOf('key=', 0) !== 0;
      }).join('&');
      window.history.replaceState(window.history.state, '',
        window.location.pathname + window.location.search + (rest ? '#' + rest : ''));
    }
    return key;
  }

  var key = socketKey();
  if (!key) {
    console.error('bridge: this page has no socket key; open a new address from the app ' +
      '(./run.sh page-url)');
  }
  socket = new WebSocket(config.url + '?key=' + encodeURIComponent(key || ''));
  var keyed = false;  // the socket's first frame, the next key, has come
  socket.onopen = function () {
    state = 'open';
    queued.splice(0).forEach(function (text) { socket.send(text); });
  };
  socket.onmessage = function (event) {
    var result;
    try {
      result = JSON.parse(event.data);
    } catch (e) {
      console.error('bridge: unreadable answer', e);
      return;
    }
    if (!keyed) {
      keyed = true;
      if (result && typeof result.bridgeKey === 'string') {
        keepKey(result.bridgeKey);
        socket.send(JSON.stringify({bridgeKeyKept: result.bridgeKey}));
      } else {
        console.error('bridge: the socket did not begin with the next key');
      }
      return;
    }
    if (result.save === false) pending.delete(result.callbackId);
    window.Capacitor.fromNative(result);
  };
  socket.onclose = function (event) {
    if (state === 'connecting' && key) {
      console.error('bridge: the app refused this page\'s key (another tab of this page may have ' +
        'used it, or the app restarted); open a new address from the app (./run.sh page-url)');
    } else if (event.code === 4000) {
      // Another socket opened with this page's key kept its next key first: the key this page
      // holds opens nothing more.
      console.error('bridge: another tab or program took this page\'s key; open a new address ' +
        'from the app (./run.sh page-url)');
    }
    state = 'closed';
    queued = [];
    var calls = Array.from(pending.entries());
    pending.clear();
    calls.forEach(function (entry) { unavailable(entry[0], entry[1]); });
  };
})();
