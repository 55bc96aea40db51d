// The page side of the host bridge. Runs in the page's main world when its document is created,
// before any page script, inside the same function scope as Qt's qwebchannel.js (so QWebChannel
// stays private to it). It owns what must answer synchronously inside the page: the three globals,
// the callback ids and index, and the argument check that makes a page call throw. Everything else
// (conversion of values, the messages' meaning) is the host's.
//
// Host object "tarnwickBridge" (see PageBridge.h):
//   inbox = token + "\n" + name + "\n" + id + "\n" + argsText
//                                    a message to the host (a property write: no answer comes
//                                    back); argsText: tagged values (BridgeWire.h)
//   log(text)                        a line for the host's debug-output channel
//   deliver(token, name, id, paramsText)  signal: a message to this page ("rply", "cncl")
(function () {
  'use strict';
  var global = window;
  if (global.__tarnwickBridgeToken !== undefined) return;  // once per document
  // Names this document: an answer meant for a document that is gone is dropped.
  var token = Date.now().toString(36) + Math.random().toString(36).slice(2);
  Object.defineProperty(global, '__tarnwickBridgeToken', {value: token});

  var nextId = 1;        // callback ids: first 1, never reused in this document
  var callbacks = {};    // id -> page function waiting for its answer
  var host = null;       // the host object once the channel is up
  var waiting = [];      // messages posted before that

  var kEmpty = 0, kNull = 1, kInt = 3, kDouble = 5, kDate = 7, kBool = 11, kObject = 13,
      kString = 258, kFunction = 291, kArray = 8204, kMaxDepth = 128;

  // The variant kind a page value converts to on the host.
  function kindOf(v) {
    if (v === undefined) return kEmpty;
    if (v === null) return kNull;
    switch (typeof v) {
      case 'boolean': return kBool;
      case 'number': return (v | 0) === v && !(v === 0 && 1 / v < 0) ? kInt : kDouble;
      case 'string': return kString;
      case 'function': return kFunction;
      case 'object':
        if (Object.prototype.toString.call(v) === '[object Date]') return kDate;
        if (Array.isArray(v)) return kArray;
        return kObject;
    }
    throw new Error('Invalid argument type');
  }

  function numberText(n) { return isFinite(n) ? n : String(n); }

  function tagged(v, depth) {
    if (depth > kMaxDepth) throw new Error('Invalid argument type');
    var k = kindOf(v);
    switch (k) {
      case kEmpty: case kNull: case kFunction: return [k];
      case kDouble: return [k, numberText(v)];
      case kDate: return [k, numberText(v.getTime())];
      case kArray: return [k, v.map(function (e) { return tagged(e, depth + 1); })];
      case kObject:
        var members = [], keys = Object.keys(v);
        for (var i = 0; i < keys.length; i++) members.push(keys[i], tagged(v[keys[i]], depth + 1));
        return [k, members];
      default: return [k, v];
    }
  }

  function send(name, id, argsText) {
    if (host) host.inbox = token + '\n' + name + '\n' + id + '\n' + argsText;
    else waiting.push([name, id, argsText]);
  }

  function log(text) {
    if (host) host.log(text);
    else waiting.push(['', 0, text]);
  }

  // The body of callDelphi and __SendRequest: a last argument that is a function becomes the
  // callback; the others must be of a kind a message can carry.
  function sender(name) {
    return function () {
      var args = Array.prototype.slice.call(arguments), id = 0, callback = null;
      var values = args.map(function (a) { return tagged(a, 0); });
      if (args.length && typeof args[args.length - 1] === 'function') {
        callback = args.pop();
        values.pop();
      }
      for (var i = 0; i < values.length; i++) {
        var k = values[i][0];
        if (k !== kBool && k !== kObject && k !== kInt && k !== kString && k !== kNull && k !== kEmpty)
          throw new Error('SenBrowserRequest: Unsupported argument type ' + k);
      }
      if (callback) {
        id = nextId++;
        callbacks[id] = callback;
      }
      send(name, id, JSON.stringify(values));
    };
  }

  function deliver(forToken, name, id, paramsText) {
    if (forToken !== token) return;
    if (name !== 'rply' && name !== 'cncl') return;
    var callback = callbacks[id];
    if (!callback) {
      log('Callback not found ' + id);
      return;
    }
    delete callbacks[id];
    var params = name === 'rply' ? JSON.parse(paramsText) : [];
    try {
      callback.apply(null, params);
    } catch (e) {
      // Reported like any other uncaught page error, after the entry is gone.
      setTimeout(function () { throw e; }, 0);
    }
  }

  function define(name, fn) {
    if (global[name] === undefined)
      Object.defineProperty(global, name, {value: fn, writable: true, configurable: true, enumerable: true});
  }
  define('__SendRequest', sender('reqst'));
  define('callDelphi', sender('dcall'));
  define('cefHelperInfo', function () {});

  global.addEventListener('error', function (e) {
    send('excpt', -1, JSON.stringify([[kString, String(e.message)], [kInt, e.lineno | 0]]));
  });

  if (typeof qt === 'undefined' || !qt.webChannelTransport) return;
  new QWebChannel(qt.webChannelTransport, function (channel) {
    host = channel.objects.tarnwickBridge;
    if (!host) return;
    host.deliver.connect(deliver);
    var queued = waiting;
    waiting = [];
    for (var i = 0; i < queued.length; i++) {
      if (queued[i][0] === '') host.log(queued[i][2]);
      else send(queued[i][0], queued[i][1], queued[i][2]);
    }
  });
})();
