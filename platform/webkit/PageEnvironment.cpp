// The script side of a page's world: window, console, timers, dialogs, the message handlers,
// a small document and XMLHttpRequest. Runs first in every new world and talks to the web
// view only through the natives it captures (then hides) from `__native`.
#include "platform/webkit/PageEnvironment.h"

namespace plat::webkit {

const char* pageEnvironmentSource() {
  return R"JS((function (global) {
'use strict';
var N = global.__native;
delete global.__native;
var L = {};
Object.defineProperty(global, '__lumora', { value: L, enumerable: false });
global.window = global;
global.self = global;
global.top = global;
global.parent = global;

function text(v) {
  if (typeof v === 'string') return v;
  if (v === undefined) return 'undefined';
  if (v === null) return 'null';
  if (typeof v === 'object') {
    if (v instanceof Error) return String(v);
    try { var j = JSON.stringify(v); if (j !== undefined) return j; } catch (e) {}
  }
  return String(v);
}
function joinArgs(args) {
  var parts = [];
  for (var i = 0; i < args.length; i++) parts.push(text(args[i]));
  return parts.join(' ');
}

// ---- events ----
function listenersOf(target) {
  if (!Object.prototype.hasOwnProperty.call(target, '__listeners')) {
    Object.defineProperty(target, '__listeners', { value: {}, enumerable: false });
  }
  return target.__listeners;
}
// Called bare (`addEventListener(...)` at global scope) they act on the window, as pages expect.
var EventTargetMethods = {
  addEventListener: function (type, fn) {
    if (typeof fn !== 'function' && !(fn && typeof fn.handleEvent === 'function')) return;
    var l = listenersOf(this == null ? global : this);
    var list = l[type] || (l[type] = []);
    if (list.indexOf(fn) < 0) list.push(fn);
  },
  removeEventListener: function (type, fn) {
    var list = listenersOf(this == null ? global : this)[type];
    if (!list) return;
    var i = list.indexOf(fn);
    if (i >= 0) list.splice(i, 1);
  },
  dispatchEvent: function (event) {
    var self = this == null ? global : this;
    if (!event.target) event.target = self;
    event.currentTarget = self;
    var handler = self['on' + event.type];
    var list = (listenersOf(self)[event.type] || []).slice();
    if (typeof handler === 'function') list.unshift(handler);
    for (var i = 0; i < list.length; i++) {
      try {
        if (typeof list[i] === 'function') list[i].call(self, event);
        else list[i].handleEvent(event);
      } catch (e) {
        N.pageError(String(e) + (e && e.stack ? '\n' + e.stack : ''));
      }
    }
    return !event.defaultPrevented;
  }
};
function mixEvents(obj) {
  for (var k in EventTargetMethods) {
    Object.defineProperty(obj, k, { value: EventTargetMethods[k], enumerable: false, writable: true });
  }
}
function Event(type, init) {
  this.type = String(type);
  this.bubbles = !!(init && init.bubbles);
  this.cancelable = !!(init && init.cancelable);
  this.defaultPrevented = false;
  this.target = null;
  this.currentTarget = null;
  this.timeStamp = Date.now();
}
Event.prototype.preventDefault = function () { if (this.cancelable) this.defaultPrevented = true; };
Event.prototype.stopPropagation = function () {};
global.Event = Event;
mixEvents(global);

// ---- console ----
global.console = {
  log: function () { N.console('log', joinArgs(arguments)); },
  info: function () { N.console('info', joinArgs(arguments)); },
  warn: function () { N.console('warn', joinArgs(arguments)); },
  error: function () { N.console('error', joinArgs(arguments)); },
  debug: function () { N.console('debug', joinArgs(arguments)); }
};

// ---- timers ----
var timers = {};
var nextTimer = 1;
function addTimer(fn, ms, args, repeat) {
  if (typeof fn !== 'function') {
    var code = String(fn);
    fn = function () { (0, eval)(code); };
  }
  var id = nextTimer++;
  timers[id] = { fn: fn, args: args, repeat: repeat };
  ms = Number(ms);
  N.setTimer(id, isFinite(ms) && ms > 0 ? ms : 0, repeat ? 1 : 0);
  return id;
}
global.setTimeout = function (fn, ms) {
  return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), false);
};
global.setInterval = function (fn, ms) {
  return addTimer(fn, ms, Array.prototype.slice.call(arguments, 2), true);
};
global.clearTimeout = global.clearInterval = function (id) {
  if (timers[id]) {
    delete timers[id];
    N.clearTimer(id);
  }
};
L.fireTimer = function (id) {
  var t = timers[id];
  if (!t) return;
  if (!t.repeat) delete timers[id];
  t.fn.apply(global, t.args);
};

// ---- dialogs ----
global.alert = function (message) { N.alert(message === undefined ? '' : String(message)); };
global.confirm = function (message) {
  return N.confirm(message === undefined ? '' : String(message)) === 'true';
};
global.prompt = function (message, value) {
  var r = N.prompt(message === undefined ? '' : String(message),
                   value === undefined || value === null ? '' : String(value));
  return r === undefined ? null : r;
};
global.open = function () { return null; };

// ---- message handlers ----
function MessageHandler(name) { this.__name = name; }
MessageHandler.prototype.postMessage = function (body) {
  var json = body === undefined ? undefined : JSON.stringify(body);
  N.postMessage(this.__name, json === undefined ? '' : json, json === undefined ? 0 : 1);
};
var handlers = {};
global.webkit = { messageHandlers: handlers };
L.addHandler = function (name) { handlers[name] = new MessageHandler(name); };
L.removeHandler = function (name) { delete handlers[name]; };
L.setHandlers = function (names) {
  for (var k in handlers) if (names.indexOf(k) < 0) delete handlers[k];
  for (var i = 0; i < names.length; i++) if (!handlers[names[i]]) handlers[names[i]] = new MessageHandler(names[i]);
};

// ---- location and navigator ----
var location = {
  toString: function () { return this.href; },
  reload: function () { N.reload(); },
  assign: function (url) { N.navigate(String(url)); },
  replace: function (url) { N.navigate(String(url)); }
};
L.setLocation = function (parts) { for (var k in parts) location[k] = parts[k]; };
global.location = location;
global.navigator = { userAgent: '', platform: 'iPhone', language: 'en-US', languages: ['en-US'],
                     onLine: true, cookieEnabled: false };
L.setNavigator = function (parts) { for (var k in parts) global.navigator[k] = parts[k]; };
global.screen = { width: 0, height: 0 };
global.devicePixelRatio = 1;
global.innerWidth = 0;
global.innerHeight = 0;
L.setScreen = function (w, h, scale) {
  global.screen.width = w; global.screen.height = h;
  global.innerWidth = w; global.innerHeight = h;
  global.devicePixelRatio = scale;
};

// ---- document ----
function Node() {}
mixEvents(Node.prototype);
Node.prototype.appendChild = function (child) { return this.insertBefore(child, null); };
Node.prototype.insertBefore = function (child, ref) {
  if (child.parentNode) child.parentNode.removeChild(child);
  var i = ref ? this.childNodes.indexOf(ref) : -1;
  if (i < 0) this.childNodes.push(child); else this.childNodes.splice(i, 0, child);
  child.parentNode = this;
  if (child.nodeType === 1 && child.tagName === 'SCRIPT' && isAttached(this)) runInsertedScript(child);
  return child;
};
Node.prototype.removeChild = function (child) {
  var i = this.childNodes.indexOf(child);
  if (i >= 0) { this.childNodes.splice(i, 1); child.parentNode = null; }
  return child;
};
Node.prototype.hasChildNodes = function () { return this.childNodes.length > 0; };
Object.defineProperty(Node.prototype, 'firstChild', { get: function () { return this.childNodes[0] || null; } });
Object.defineProperty(Node.prototype, 'lastChild', { get: function () { return this.childNodes[this.childNodes.length - 1] || null; } });
Object.defineProperty(Node.prototype, 'children', { get: function () {
  return this.childNodes.filter(function (n) { return n.nodeType === 1; });
} });
Object.defineProperty(Node.prototype, 'textContent', {
  get: function () {
    if (this.nodeType === 3 || this.nodeType === 8) return this.data;
    var s = '';
    for (var i = 0; i < this.childNodes.length; i++) {
      if (this.childNodes[i].nodeType !== 8) s += this.childNodes[i].textContent;
    }
    return s;
  },
  set: function (v) {
    if (this.nodeType === 3 || this.nodeType === 8) { this.data = String(v); return; }
    this.childNodes = [];
    if (v !== '' && v !== null && v !== undefined) this.appendChild(new TextNode(String(v)));
  }
});
function walk(node, fn) {
  for (var i = 0; i < node.childNodes.length; i++) {
    var c = node.childNodes[i];
    if (c.nodeType === 1) {
      if (fn(c)) return c;
      var r = walk(c, fn);
      if (r) return r;
    }
  }
  return null;
}
function collect(node, fn) {
  var out = [];
  walk(node, function (e) { if (fn(e)) out.push(e); return false; });
  return out;
}
function matcher(selector) {
  selector = String(selector).trim();
  if (selector.charAt(0) === '#') { var id = selector.slice(1); return function (e) { return e.id === id; }; }
  if (selector.charAt(0) === '.') {
    var cls = selector.slice(1);
    return function (e) { return (' ' + e.className + ' ').indexOf(' ' + cls + ' ') >= 0; };
  }
  var tag = selector.toUpperCase();
  return function (e) { return tag === '*' || e.tagName === tag; };
}
Node.prototype.getElementsByTagName = function (tag) { return collect(this, matcher(tag === '*' ? '*' : tag)); };
Node.prototype.getElementsByClassName = function (cls) { return collect(this, matcher('.' + cls)); };
Node.prototype.querySelector = function (sel) { return walk(this, matcher(sel)); };
Node.prototype.querySelectorAll = function (sel) { return collect(this, matcher(sel)); };

function Element(tag) {
  this.nodeType = 1;
  this.tagName = String(tag).toUpperCase();
  this.nodeName = this.tagName;
  this.attributes = {};
  this.childNodes = [];
  this.parentNode = null;
  this.style = {};
}
Element.prototype = Object.create(Node.prototype);
Element.prototype.constructor = Element;
Element.prototype.getAttribute = function (name) {
  name = String(name).toLowerCase();
  return Object.prototype.hasOwnProperty.call(this.attributes, name) ? this.attributes[name] : null;
};
Element.prototype.setAttribute = function (name, value) { this.attributes[String(name).toLowerCase()] = String(value); };
Element.prototype.hasAttribute = function (name) { return this.getAttribute(name) !== null; };
Element.prototype.removeAttribute = function (name) { delete this.attributes[String(name).toLowerCase()]; };
function reflect(prop, attr) {
  Object.defineProperty(Element.prototype, prop, {
    get: function () { var v = this.getAttribute(attr); return v === null ? '' : v; },
    set: function (v) { this.setAttribute(attr, v); }
  });
}
reflect('id', 'id');
reflect('className', 'class');
reflect('src', 'src');
reflect('type', 'type');
reflect('href', 'href');
Object.defineProperty(Element.prototype, 'innerHTML', {
  get: function () { return this.textContent; },
  set: function (v) { this.textContent = v; }
});
Object.defineProperty(Element.prototype, 'text', {
  get: function () { return this.textContent; },
  set: function (v) { this.textContent = v; }
});
function TextNode(data) { this.nodeType = 3; this.nodeName = '#text'; this.data = data; this.childNodes = []; this.parentNode = null; }
TextNode.prototype = Object.create(Node.prototype);
function CommentNode(data) { this.nodeType = 8; this.nodeName = '#comment'; this.data = data; this.childNodes = []; this.parentNode = null; }
CommentNode.prototype = Object.create(Node.prototype);

function Document() {
  this.nodeType = 9;
  this.nodeName = '#document';
  this.childNodes = [];
  this.parentNode = null;
  this.readyState = 'loading';
  this.cookie = '';
  this.location = location;
  this.URL = '';
  this.documentElement = null;
  this.head = null;
  this.body = null;
}
Document.prototype = Object.create(Node.prototype);
Document.prototype.getElementById = function (id) { id = String(id); return walk(this, function (e) { return e.id === id; }); };
Document.prototype.createElement = function (tag) { return new Element(tag); };
Document.prototype.createTextNode = function (data) { return new TextNode(String(data)); };
Document.prototype.createEvent = function () { return new Event(''); };
Object.defineProperty(Document.prototype, 'title', {
  get: function () { var t = this.querySelector('title'); return t ? t.textContent.replace(/\s+/g, ' ').trim() : ''; },
  set: function (v) { var t = this.querySelector('title'); if (t) t.textContent = v; }
});
var document = new Document();
global.document = document;
global.HTMLElement = Element;
global.Element = Element;
global.Node = Node;

function isAttached(node) {
  while (node) { if (node === document) return true; node = node.parentNode; }
  return false;
}
function build(parent, n) {
  var node;
  if (n.t === 'x') node = new TextNode(n.v);
  else if (n.t === 'c') node = new CommentNode(n.v);
  else {
    node = new Element(n.n);
    for (var k in n.a) node.attributes[k] = n.a[k];
    for (var i = 0; i < n.c.length; i++) build(node, n.c[i]);
  }
  node.parentNode = parent;
  parent.childNodes.push(node);
  return node;
}
L.buildDocument = function (tree) {
  document.childNodes = [];
  for (var i = 0; i < tree.length; i++) build(document, tree[i]);
  document.documentElement = document.querySelector('html');
  document.head = document.querySelector('head');
  document.body = document.querySelector('body');
};
L.setReadyState = function (state) {
  document.readyState = state;
  document.dispatchEvent(new Event('readystatechange'));
};
L.fireDocumentEvent = function (type) { document.dispatchEvent(new Event(type)); };
L.fireWindowEvent = function (type) { global.dispatchEvent(new Event(type)); };

// Scripts added by page script: an external one is fetched and run, then its onload/onerror.
var insertedScripts = {};
var nextScript = 1;
function runInsertedScript(el) {
  if (el.__started) return;
  el.__started = true;
  var src = el.getAttribute('src');
  if (src) {
    var id = nextScript++;
    insertedScripts[id] = el;
    N.loadScript(id, src);
  } else if (el.textContent) {
    // Its errors are the page's, not the inserting script's.
    try { (0, eval)(el.textContent); } catch (e) { N.pageError(String(e) + (e && e.stack ? '\n' + e.stack : '')); }
  }
}
L.scriptLoaded = function (id, ok) {
  var el = insertedScripts[id];
  delete insertedScripts[id];
  if (el) el.dispatchEvent(new Event(ok ? 'load' : 'error'));
};

// ---- XMLHttpRequest ----
var xhrs = {};
var nextXhr = 1;
function XMLHttpRequest() {
  this.readyState = 0;
  this.status = 0;
  this.statusText = '';
  this.responseText = '';
  this.response = '';
  this.responseType = '';
  this.responseURL = '';
  this.timeout = 0;
  this.withCredentials = false;
  this.__headers = {};
  this.__responseHeaders = {};
  this.__id = 0;
}
XMLHttpRequest.UNSENT = XMLHttpRequest.prototype.UNSENT = 0;
XMLHttpRequest.OPENED = XMLHttpRequest.prototype.OPENED = 1;
XMLHttpRequest.HEADERS_RECEIVED = XMLHttpRequest.prototype.HEADERS_RECEIVED = 2;
XMLHttpRequest.LOADING = XMLHttpRequest.prototype.LOADING = 3;
XMLHttpRequest.DONE = XMLHttpRequest.prototype.DONE = 4;
mixEvents(XMLHttpRequest.prototype);
function xhrState(x, state) {
  x.readyState = state;
  x.dispatchEvent(new Event('readystatechange'));
}
XMLHttpRequest.prototype.open = function (method, url) {
  if (this.__id) { N.xhrAbort(this.__id); delete xhrs[this.__id]; this.__id = 0; }
  this.__delivery = null;
  this.__method = String(method).toUpperCase();
  this.__url = String(url);
  this.__headers = {};
  this.__responseHeaders = {};
  this.status = 0;
  this.statusText = '';
  this.responseText = '';
  this.response = '';
  xhrState(this, 1);
};
XMLHttpRequest.prototype.setRequestHeader = function (name, value) {
  if (this.readyState !== 1 || this.__id) throw new Error('InvalidStateError: setRequestHeader');
  name = String(name);
  var prev = this.__headers[name];
  this.__headers[name] = prev === undefined ? String(value) : prev + ', ' + String(value);
};
XMLHttpRequest.prototype.send = function (body) {
  if (this.readyState !== 1 || this.__id) throw new Error('InvalidStateError: send');
  var id = nextXhr++;
  this.__id = id;
  xhrs[id] = this;
  N.xhrSend(id, this.__method, this.__url, JSON.stringify(this.__headers),
            body === undefined || body === null ? '' : String(body),
            body === undefined || body === null ? 0 : 1, Number(this.timeout) || 0);
};
// Aborting a request in flight ends it as DONE with status 0 (readystatechange, abort,
// loadend), then leaves it UNSENT unless a handler opened it again.
XMLHttpRequest.prototype.abort = function () {
  if (!this.__id && !this.__delivery) {
    if (this.readyState === 4) this.readyState = 0;
    return;
  }
  if (this.__id) {
    N.xhrAbort(this.__id);
    delete xhrs[this.__id];
    this.__id = 0;
  }
  this.__delivery = null;
  this.status = 0;
  this.statusText = '';
  this.responseText = '';
  this.response = '';
  xhrState(this, 4);
  this.dispatchEvent(new Event('abort'));
  this.dispatchEvent(new Event('loadend'));
  if (!this.__id && this.readyState === 4) this.readyState = 0;
};
XMLHttpRequest.prototype.getResponseHeader = function (name) {
  var want = String(name).toLowerCase();
  for (var k in this.__responseHeaders) {
    if (k.toLowerCase() === want) return this.__responseHeaders[k];
  }
  return null;
};
XMLHttpRequest.prototype.getAllResponseHeaders = function () {
  var s = '';
  for (var k in this.__responseHeaders) s += k.toLowerCase() + ': ' + this.__responseHeaders[k] + '\r\n';
  return s;
};
XMLHttpRequest.prototype.overrideMimeType = function () {};
// A handler that calls open() or abort() while the response is still arriving (HEADERS_RECEIVED
// or LOADING) ends this delivery; from DONE on, load and loadend follow regardless.
L.xhrEvent = function (id, ev) {
  var x = xhrs[id];
  if (!x) return;
  delete xhrs[id];
  x.__id = 0;
  var delivery = x.__delivery = {};
  if (ev.type === 'load') {
    x.status = ev.status;
    x.statusText = ev.statusText;
    x.responseURL = ev.url;
    x.__responseHeaders = ev.headers;
    xhrState(x, 2);
    if (x.__delivery !== delivery) return;
    x.responseText = ev.body;
    if (x.responseType === 'json') {
      try { x.response = JSON.parse(ev.body); } catch (e) { x.response = null; }
    } else {
      x.response = ev.body;
    }
    xhrState(x, 3);
    if (x.__delivery !== delivery) return;
    x.__delivery = null;
    xhrState(x, 4);
    x.dispatchEvent(new Event('load'));
  } else {
    x.__delivery = null;
    x.status = 0;
    xhrState(x, 4);
    x.dispatchEvent(new Event(ev.type));
  }
  x.dispatchEvent(new Event('loadend'));
};
global.XMLHttpRequest = XMLHttpRequest;
})(this);
)JS";
}

}  // namespace plat::webkit
