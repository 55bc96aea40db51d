// ==UserScript==
// @name tarnwick-devtools
// @include devtools://devtools/*
// ==/UserScript==
// What the DevTools front end needs from its embedder and a page loaded by its address lacks:
// - the "network.enable-unc-loading" setting, read by every resource load (source maps included)
//   but registered only by the network panel, which the Node entry pages do not load;
// - the Node file tree in the Sources panel where the entry page has none (js_app.html);
// - "file:" loads, answered by the host from the allowed folders only, in chunks;
// - node_modules and node's internals on the ignore list, written once into the settings;
// - a map that may not or cannot be read fails once and without a Console warning (a project
//   with many dependencies would get one per file).
(function () {
  'use strict';
  if (location.protocol !== 'devtools:' || window.__tarnwickDevTools) return;
  const base = 'devtools://devtools/bundled/';
  const marker = '\u2063tarnwick-devtools';
  const ignoreList = [{pattern: '/node_modules/', disabled: false}, {pattern: '^node:', disabled: false}];
  const pending = new Map();
  const refused = new Set();
  let nextId = 1;

  const modules = Promise.all([import(base + 'core/common/common.js'), import(base + 'ui/legacy/legacy.js')]);

  // Runs when the front end asks for its settings: its entry page has registered all it has then.
  function addMissing([Common, UI]) {
    const S = Common.Settings;
    if (!S.getRegisteredSettings().some(s => s.settingName === 'network.enable-unc-loading'))
      S.registerSettingExtension({
        storageType: S.SettingStorageType.Synced, settingName: 'network.enable-unc-loading',
        settingType: S.SettingType.BOOLEAN, defaultValue: false});
    const messages = Common.Console.Console.prototype, warn = messages.warn;
    messages.warn = function (text, ...rest) {
      if (typeof text === 'string' && text.startsWith('DevTools failed to load source map') &&
          [...refused].some(url => text.includes(url)))
        return;
      return warn.call(this, text, ...rest);
    };
    const V = UI.ViewManager;
    if (!V.getRegisteredViewExtensions().some(v => v.viewId() === 'navigator-network'))
      V.registerViewExtension({
        location: 'navigator-view', id: 'navigator-network', title: () => 'Node', commandPrompt: () => 'Show Node',
        order: 2, persistence: 'permanent',
        loadView: async () => (await import(base + 'panels/sources/sources.js')).SourcesNavigator.NetworkNavigatorView.instance()});
  }

  // Written once: a pattern the user removed later stays removed.
  function withDefaults(host, prefs) {
    if ('tarnwickDefaults' in prefs) return;
    if (!('skipStackFramesPattern' in prefs)) {
      prefs.skipStackFramesPattern = JSON.stringify(ignoreList);
      host.setPreference('skipStackFramesPattern', prefs.skipStackFramesPattern);
    }
    prefs.tarnwickDefaults = '1';
    host.setPreference('tarnwickDefaults', '1');
  }

  function unavailable(url, done) {
    refused.add(url);
    done({statusCode: 404, netError: -6, netErrorName: 'net::ERR_FILE_NOT_FOUND', urlValid: true});
  }

  function route(url, headers, streamId, done, load) {
    let u = null;
    try { u = new URL(url); } catch (e) { /* not an address */ }
    if (u && u.protocol === 'file:' && !refused.has(url)) {
      const id = nextId++;
      pending.set(id, {url, streamId, done});
      console.log(marker + '\n' + id + '\n' + url);
    } else if (u && (u.protocol === 'http:' || u.protocol === 'https:') &&
               ['127.0.0.1', 'localhost', '[::1]'].includes(u.hostname)) {
      load(url, headers, streamId, done);
    } else {
      unavailable(url, done);
    }
  }

  function adopt(host) {
    if (!host || host.__tarnwick) return host;
    Object.defineProperty(host, '__tarnwick', {value: true});
    const getPreferences = host.getPreferences, load = host.loadNetworkResource;
    // The front end reads its settings once, at start: what is registered above must be there by then.
    host.getPreferences = cb => modules.then(addMissing).catch(e => console.error('tarnwick-devtools: ' + e))
      .then(() => getPreferences.call(host, prefs => { withDefaults(host, prefs); cb(prefs); }));
    host.loadNetworkResource = (url, headers, streamId, done) => route(url, headers, streamId, done, load.bind(host));
    return host;
  }

  let current = adopt(window.InspectorFrontendHost);
  if (!current)
    Object.defineProperty(window, 'InspectorFrontendHost', {
      configurable: true, enumerable: true, get: () => current, set: v => { current = adopt(v); }});

  // The host's answers.
  window.__tarnwickDevTools = Object.freeze({
    chunk(id, text) {
      const p = pending.get(id);
      if (p) window.InspectorFrontendAPI.streamWrite(p.streamId, text);
    },
    done(id, ok) {
      const p = pending.get(id);
      if (!p) return;
      pending.delete(id);
      if (ok) return p.done({statusCode: 200});
      unavailable(p.url, p.done);
    },
  });
})();
