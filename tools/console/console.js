// Device console: the dashboard, a request composer with its history and
// the simulated device's controls (faults, snapshots and scenarios among
// them) and the relay's own faults. Talks only to kal_http: POST /api (one
// request, its reply), GET/POST /sim (the controls) and GET /examples. Its
// own files are named relative to the page, so it works from "/" and from
// "/_console/" alike.
'use strict';

const POLL_MS = 1000;
const HISTORY_SIZE = 100;
const HISTORY_KEY = 'kal-console-history';
const JSON_HEADERS = { 'Content-Type': 'application/json' };
const SIM_STATES = ['absent', 'ready', 'PIN required', 'PUK required', 'blocked'];

const $ = (id) => document.getElementById(id);
const setText = (id, text) => { $(id).textContent = text; };

// Status 0 when kal_http did not answer; body null when the text is not JSON.
async function fetchJson(url, init) {
  try {
    const res = await fetch(url, init);
    const text = await res.text();
    let body = null;
    try { body = JSON.parse(text); } catch (e) { /* body stays null */ }
    return { status: res.status, text, body };
  } catch (e) {
    return { status: 0, text: '', body: null };
  }
}

const api = (request) => fetchJson('/api', { method: 'POST', headers: JSON_HEADERS, body: request });

// Why a request to kal_http failed, in its own words when it gave them.
function failure(r) {
  if (r.status === 0) return 'kal_http unreachable';
  return (r.body && r.body.error) || 'HTTP ' + r.status;
}

// Dashboard -----------------------------------------------------------------

// Five bars, as many lit as the level; -1: no service.
function showSignal(level) {
  const el = $('signal');
  el.textContent = '';
  el.title = level < 0 ? 'no service' : level + ' of 5';
  if (level < 0) {
    el.textContent = 'no service';
    return;
  }
  for (let i = 1; i <= 5; i++) {
    const bar = document.createElement('span');
    bar.className = 'bar' + (i <= level ? ' on' : '');
    bar.style.height = (4 + i * 4) + 'px';
    el.appendChild(bar);
  }
  el.appendChild(document.createTextNode(' ' + level));
}

// The operator, and the network type as the reply gives it: the project
// documents no meaning for its codes but 0 (none reported, as when not
// registered), so a code is shown as it is, and its tooltip says so.
function showNetwork(w) {
  const el = $('network');
  el.textContent = (w.operatorName || 'no operator') + (w.roaming ? ', roaming' : '');
  if (!w.networkType) return;
  const type = document.createElement('span');
  type.className = 'explained';
  type.id = 'network-type';
  type.textContent = 'type ' + w.networkType;
  type.title = 'wan.networkType ' + w.networkType + ': the network type code the mobile service reports. ' +
    'What each code stands for is not documented here; 0 means none reported (not registered).';
  el.append(', ', type);
}

function showStatus(s) {
  const b = s.battery || {};
  setText('battery', b.connected === false ? 'none' : (b.voltage ?? '-') + ' %');
  setText('battery-state', b.charging ? 'charging' : 'on battery');

  const w = s.wan || {};
  showSignal(w.registerStatus === 1 ? w.signalStrength || 0 : -1);
  showNetwork(w);
  setText('connection', w.connectStatus === 2 ? 'online' : 'offline');
  setText('sim-status', 'SIM ' + (SIM_STATES[w.simStatus] || w.simStatus) + (w.ipv4 && w.ipv4 !== '0.0.0.0' ? ', ' + w.ipv4 : ''));
  setText('data-used', Number(w.totalStatistics || 0).toFixed(1) + ' MB');
  setText('data-today', 'today ' + Number(w.dailyStatistics || 0).toFixed(1) + ' MB' + (w.dataLimit ? ', limit reached' : ''));

  const wl = s.wlan || {};
  if (wl.ssid === undefined) {
    setText('wifi', 'unknown');
    setText('wifi-detail', 'Wi-Fi manager unreachable');
  } else {
    setText('wifi', wl.enable === 1 ? 'on' : 'off');
    setText('wifi-detail', wl.ssid + ', ' + (wl.mode === 0 ? 'open' : 'WPA/WPA2') + ', channel ' + (wl.channel || 'auto'));
  }
  setText('stations', (s.connectedDevices || {}).number ?? '-');
  setText('unread', (s.message || {}).unreadMessages ?? '-');

  const sd = s.sdcard || {};
  setText('sdcard', sd.status === 1 ? 'in' : 'out');
  setText('sdcard-detail', sd.status === 1 ? Math.round(Number(sd.left) / 1024) + ' MB free of ' + Math.round(Number(sd.volume) / 1024) : '');

  const d = s.deviceInfo || {};
  setText('device', [d.model, d.firmwareVer && 'firmware ' + d.firmwareVer, d.imei && 'IMEI ' + d.imei].filter(Boolean).join(' · '));
}

function setLink(state, text) {
  $('link').className = 'badge ' + state;
  setText('link', text);
}

let lastAnswer = '';

// While the server does not answer, the tiles hold its last values: greyed,
// and saying so.
function showAnswering(why) {
  $('dashboard').classList.toggle('stale', why !== '');
  $('stale').hidden = why === '';
  setText('stale', why && 'Server not answering: ' + why + '. ' +
    (lastAnswer ? 'The tiles show the values of ' + lastAnswer + '.' : 'No values yet.'));
}

let pollTimer = null;
let pollSeq = 0;

// One poll reads "status" for the tiles and /sim for the controls. A newer
// poll (a control starts one at once) supersedes one still under way, so
// older values never overwrite newer ones.
async function poll() {
  clearTimeout(pollTimer);
  const seq = ++pollSeq;
  const [status, controls] = await Promise.all([api('{"module":"status","action":0}'), fetchJson('/sim')]);
  if (seq !== pollSeq) return;
  try {
    if (status.status === 200 && status.body) {
      showStatus(status.body);
      lastAnswer = new Date().toLocaleTimeString();
      setLink('ok', 'server answering');
      setText('updated', 'updated ' + lastAnswer);
      showAnswering('');
    } else {
      setLink('down', status.status === 0 ? 'kal_http unreachable' : 'server not answering');
      showAnswering(failure(status));
    }
    showControlsFrom(controls);
  } finally {
    pollTimer = setTimeout(poll, POLL_MS);  // whatever a reply held, polling goes on
  }
}

// Composer ------------------------------------------------------------------

let examples = [];

function fillExamples() {
  const module = $('module').value;
  const select = $('example');
  select.textContent = '';
  examples.filter((e) => e.module === module).forEach((e) => {
    const option = document.createElement('option');
    option.value = e.request;
    option.textContent = 'action ' + e.action + ': ' + e.request.slice(0, 60);
    select.appendChild(option);
  });
  setRequest(select.value);
}

async function loadExamples() {
  const r = await fetchJson('/examples');
  examples = Array.isArray(r.body) ? r.body : [];
  const modules = [...new Set(examples.map((e) => e.module))].sort();
  const select = $('module');
  modules.forEach((m) => {
    const option = document.createElement('option');
    option.textContent = m;
    select.appendChild(option);
  });
  fillExamples();
}

// The parser's complaint about text (where it is wrong), or '' for JSON.
function jsonError(text) {
  try {
    JSON.parse(text);
    return '';
  } catch (e) {
    return e.message;
  }
}

function showJsonError(why) {
  $('request').classList.toggle('invalid', why !== '');
  $('request').setAttribute('aria-invalid', why !== '');
  $('json-check').className = 'message' + (why ? ' error' : '');
  setText('json-check', why && 'Not JSON: ' + why);
}

function setRequest(text) {
  $('request').value = text;
  showJsonError('');
  syncForm();
}

// The kind of a reply: an HTTP error of the relay, a failure ("result" other
// than 0, the dispatcher's -10 among them), a refusal (the Wi-Fi modules
// answer a rejected request with an empty object) or a success. The result
// is what the history shows.
function replyKind(r) {
  if (r.status !== 200) return { kind: 'http', word: 'HTTP error', result: r.status ? 'HTTP ' + r.status : 'unreachable' };
  const b = r.body;
  if (b === null || typeof b !== 'object' || Array.isArray(b)) return { kind: 'failure', word: 'failure', result: 'not an object' };
  if (Object.keys(b).length === 0) return { kind: 'refused', word: 'refused', result: 'refused {}' };
  if ('result' in b && b.result !== 0) return { kind: 'failure', word: 'failure', result: 'result ' + JSON.stringify(b.result) };
  return { kind: 'success', word: 'success', result: 'result' in b ? 'result 0' : 'answered' };
}

function showReply(r, k, ms) {
  $('reply').className = k ? k.kind : '';
  $('reply-kind').className = 'kind' + (k ? ' ' + k.kind : '');
  setText('reply-kind', k ? k.word : '');
  if (!k) return;
  setText('reply', r.body === null ? r.text : JSON.stringify(r.body, null, 2));
  setText('reply-status', (k.kind === 'http' ? failure(r) + ', ' : 'HTTP 200, ' + r.text.length + ' bytes, ') + ms + ' ms');
}

async function send() {
  const request = $('request').value;
  const wrong = jsonError(request);
  showJsonError(wrong);
  showReply(null, null, 0);
  setText('reply', '');
  if (wrong) {
    setText('reply-status', 'not sent: the request is not JSON');
    // Where the parser names a position, the cursor goes there.
    const at = /position (\d+)/.exec(wrong);
    if (at) $('request').setSelectionRange(Number(at[1]), Number(at[1]) + 1);
    $('request').focus();
    return;
  }
  setText('reply-status', 'sending…');
  const started = performance.now();
  const r = await api(request);
  const ms = Math.round(performance.now() - started);
  const k = replyKind(r);
  showReply(r, k, ms);
  remember({ time: new Date().toLocaleTimeString(), request, what: requestWhat(request), result: k.result, kind: k.kind, ms });
}

// Forms ---------------------------------------------------------------------
// Each action's members as a form, built from the request schema: an input
// a member, with its type and range. The raw JSON stays the request: the
// form writes into it, and a hand edit of it fills the form.

let schema = null;
let formAction = null;  // "module.action" the form shows

async function loadSchema() {
  const r = await fetchJson('/api/schema');
  schema = r.status === 200 && r.body && r.body.$defs ? r.body : null;
  formAction = null;  // the form shown so far was built without it
  syncForm();
}

// The member's input: a number within its range, a choice for a boolean,
// text with its length and form, JSON text for a list.
function memberInput(def, path) {
  let input;
  if (def.type === 'boolean') {
    input = document.createElement('select');
    ['', 'true', 'false'].forEach((v) => {
      const option = document.createElement('option');
      option.value = v;
      option.textContent = v || '(absent)';
      input.appendChild(option);
    });
  } else {
    input = document.createElement('input');
    if (def.type === 'integer') {
      input.type = 'number';
      input.step = 1;
      if ('minimum' in def) input.min = def.minimum;
      if ('maximum' in def) input.max = def.maximum;
    } else if (def.type === 'string') {
      if ('minLength' in def) input.minLength = def.minLength;
      if ('maxLength' in def) input.maxLength = def.maxLength;
      if (def.pattern) input.pattern = def.pattern;
    } else {
      input.placeholder = 'JSON';
    }
  }
  input.dataset.path = JSON.stringify(path);
  input.dataset.type = def.type || 'json';
  input.title = def.description || '';
  input.oninput = formToRequest;
  return input;
}

function addMembers(container, def, path) {
  Object.entries(def.properties || {}).forEach(([name, member]) => {
    if (path.length === 0 && (name === 'module' || name === 'action')) return;
    if (member.type === 'object') {
      const set = document.createElement('fieldset');
      const legend = document.createElement('legend');
      legend.textContent = name;
      legend.title = member.description || '';
      set.appendChild(legend);
      addMembers(set, member, path.concat(name));
      container.appendChild(set);
      return;
    }
    const label = document.createElement('label');
    const required = (def.required || []).includes(name);
    label.textContent = name + (required ? ' *' : '') + ' ';
    label.appendChild(memberInput(member, path.concat(name)));
    const range = member.type === 'integer' && member.minimum > -2147483648
      ? member.minimum + ' to ' + member.maximum : member.maxLength ? 'at most ' + member.maxLength : '';
    if (range) {
      const hint = document.createElement('small');
      hint.className = 'muted';
      hint.textContent = ' ' + range;
      label.appendChild(hint);
    }
    container.appendChild(label);
  });
}

// The value at path of object, or undefined.
const valueAt = (object, path) => path.reduce((o, key) => (o && typeof o === 'object' ? o[key] : undefined), object);

// Builds the form of the request's action, or fills it when it shows that
// action already.
function syncForm() {
  let request = null;
  try { request = JSON.parse($('request').value); } catch (e) { return; }
  const key = request && typeof request === 'object' ? request.module + '.' + request.action : '';
  const def = schema && schema.$defs[key];
  if (key !== formAction) {
    formAction = key;
    $('form').textContent = '';
    if (def) addMembers($('form'), def, []);
    setText('form-note', !schema ? '' : def ? def.description || '' : 'no form: the schema has no action ' + key);
  }
  $('form').querySelectorAll('[data-path]').forEach((input) => {
    const v = valueAt(request, JSON.parse(input.dataset.path));
    input.value = v === undefined ? '' : input.dataset.type === 'json' || typeof v === 'object' ? JSON.stringify(v) : String(v);
  });
  checkForm();
}

// Marks what lies outside its declared type or range; the request may
// still be sent, to see how the server takes it.
function checkForm() {
  const wrong = [...$('form').querySelectorAll('[data-path]')].filter((input) => !input.checkValidity())
    .map((input) => JSON.parse(input.dataset.path).join('.'));
  $('form-check').className = 'message' + (wrong.length ? ' error' : '');
  setText('form-check', wrong.length ? 'Outside the declared range: ' + wrong.join(', ') : '');
}

// The request as the form gives it: an empty input is an absent member.
function formToRequest() {
  const [module, action] = formAction.split('.');
  const out = { module, action: Number(action) };
  $('form').querySelectorAll('[data-path]').forEach((input) => {
    if (input.value === '') return;
    const path = JSON.parse(input.dataset.path);
    let v = input.value;
    if (input.dataset.type === 'integer') v = Number(v);
    else if (input.dataset.type === 'boolean') v = v === 'true';
    else if (input.dataset.type !== 'string') { try { v = JSON.parse(v); } catch (e) { /* kept as text */ } }
    let at = out;
    path.slice(0, -1).forEach((key) => { at = at[key] = at[key] && typeof at[key] === 'object' ? at[key] : {}; });
    at[path[path.length - 1]] = v;
  });
  $('request').value = JSON.stringify(out);
  showJsonError('');
  checkForm();
}

// History -------------------------------------------------------------------

let sent = loadHistory();

function loadHistory() {
  try {
    const kept = JSON.parse(sessionStorage.getItem(HISTORY_KEY));
    return Array.isArray(kept) ? kept.filter((e) => e && typeof e.request === 'string').slice(0, HISTORY_SIZE) : [];
  } catch (e) {
    return [];
  }
}

// "MODULE action N" of a request text that parses.
function requestWhat(text) {
  const r = JSON.parse(text);
  if (r === null || typeof r !== 'object' || Array.isArray(r)) return '(not an object)';
  return (typeof r.module === 'string' ? r.module : '(no module)') + ' action ' + JSON.stringify(r.action ?? null);
}

function remember(entry) {
  sent.unshift(entry);
  sent.length = Math.min(sent.length, HISTORY_SIZE);
  try {
    sessionStorage.setItem(HISTORY_KEY, JSON.stringify(sent));
  } catch (e) { /* too much for the session store: kept in memory only */ }
  showHistory();
}

// A word for the shell: as it is when it holds nothing the shell reads,
// else in single quotes, each quote inside closed, escaped and reopened.
const shellWord = (text) => /^[\w@%+=:,./-]+$/.test(text) ? text : "'" + text.replace(/'/g, "'\\''") + "'";

function curlOf(request) {
  const url = location.origin + '/api';
  // curl reads [ ] in a URL as a range unless told not to ([::1]).
  return 'curl -X POST --data ' + shellWord(request) + (url.includes('[') ? ' -g ' : ' ') + shellWord(url);
}

const fetchOf = (request) => "fetch('/api', {method: 'POST', body: " + JSON.stringify(request) + '})';

async function copy(text, what) {
  const box = $('copy-text');
  box.hidden = false;
  box.value = text;
  let copied = false;
  try {
    await navigator.clipboard.writeText(text);
    copied = true;
  } catch (e) {
    box.select();  // no clipboard here (or no permission): ready to copy by hand
  }
  setText('copy-status', what + (copied ? ' copied to the clipboard' : ': copy it from the box above'));
}

function button(text, className, onclick) {
  const b = document.createElement('button');
  b.type = 'button';
  b.className = className;
  b.textContent = text;
  b.onclick = onclick;
  return b;
}

function showHistory() {
  const list = $('history-list');
  list.textContent = '';
  sent.forEach((e) => {
    const item = document.createElement('li');
    item.className = e.kind;
    const entry = button('', 'entry', () => setRequest(e.request));
    entry.title = e.request;
    [e.time, e.what, e.result, e.ms + ' ms'].forEach((text) => {
      const cell = document.createElement('span');
      cell.textContent = text;
      entry.appendChild(cell);
    });
    item.append(entry, button('copy as curl', 'copy-curl', () => copy(curlOf(e.request), 'curl command')),
      button('copy as fetch', 'copy-fetch', () => copy(fetchOf(e.request), 'fetch call')));
    list.appendChild(item);
  });
}

// Controls ------------------------------------------------------------------

// Fields changed by hand and not yet applied with their Set button: the
// device's values overwrite neither these nor the field being edited.
const edited = new Set();

function markEdited(id) {
  edited.add(id);
  $(id).classList.add('edited');
}

function unmarkEdited(ids) {
  ids.forEach((id) => {
    edited.delete(id);
    $(id).classList.remove('edited');
  });
}

function put(id, property, value) {
  const el = $(id);
  if (value === undefined || el === document.activeElement || edited.has(id) || el[property] === value) return;
  el[property] = value;
}

let shownStations = '';

function showStations(stations) {
  // Rebuilt only when it changed: a button about to be clicked stays put.
  const key = JSON.stringify(stations);
  if (key === shownStations) return;
  shownStations = key;
  const list = $('ctl-station-list');
  list.textContent = '';
  stations.filter((s) => s && typeof s === 'object').forEach((s) => {
    const item = document.createElement('li');
    item.textContent = (s.hostname || '(no name)') + ' ' + s.mac + ' ';
    item.appendChild(button('remove', '', () => control(['station', 'remove', s.mac])));
    list.appendChild(item);
  });
  if (list.children.length === 0) {
    const none = document.createElement('li');
    none.className = 'muted';
    none.textContent = 'none connected';
    list.appendChild(none);
  }
}

function showControls(c) {
  const battery = c.battery || {};
  const sim = c.sim || {};
  put('ctl-battery-level', 'value', battery.level === undefined ? undefined : String(battery.level));
  put('ctl-battery-charging', 'checked', battery.charging);
  put('ctl-signal', 'value', c.signal === undefined ? undefined : String(c.signal));
  put('ctl-registration', 'checked', c.registration);
  put('ctl-roaming', 'checked', c.roaming);
  put('ctl-sim-state', 'value', sim.state);
  put('ctl-sim-pin', 'value', sim.pin);
  put('ctl-sdcard', 'checked', c.sdcard === undefined ? undefined : c.sdcard === 'in');
  put('ctl-wifi', 'checked', c.wifi === undefined ? undefined : c.wifi === 'reachable');
  setText('ctl-update-state', c.update ? 'offering ' + c.update : 'nothing on offer');
  showStations(Array.isArray(c.stations) ? c.stations : []);
  fillSelect('ctl-fault-service', c.services);
  fillSelect('ctl-snapshot-list', c.snapshots);
  fillSelect('ctl-scenario-name', c.scenarios);
  const faults = Object.entries(c.faults || {}).map(([service, fault]) => service + ' ' + fault).join(', ');
  const s = c.scenario;
  const playing = s ? 'scenario ' + s.name + ' at ' + s.seconds + ' s' + (s.last ? ': ' + s.last : '') : '';
  setText('ctl-fault-state', faults ? 'now: ' + faults : 'every service answers');
  setText('ctl-scenario-state', s ? 'playing ' + s.name + ', ' + s.steps + ' steps' : 'none playing');
  const relay = c.relay || {};
  const relayFaults = Object.entries(relay.faults || {}).map(([target, fault]) => target + ' ' + fault).join(', ');
  setText('ctl-relay-state', (relayFaults ? 'now: ' + relayFaults : 'every request relayed as it comes') +
    (relay.timeoutMs ? '; a reply is awaited ' + relay.timeoutMs + ' ms' : ''));
  setText('sim-state', [playing, faults && 'faults: ' + faults, relayFaults && 'relay: ' + relayFaults]
    .filter(Boolean).join(' · '));
}

// The relay fault's value: milliseconds for a delay, a status for an
// error, none for a drop.
const RELAY_VALUES = {
  delay: { unit: 'ms', min: 0, max: 60000, value: '800', label: 'Delay in ms' },
  error: { unit: 'HTTP', min: 400, max: 599, value: '503', label: 'HTTP status' },
};

function showRelayKind() {
  const v = RELAY_VALUES[$('ctl-relay-kind').value];
  $('ctl-relay-amount').hidden = !v;
  if (!v) return;
  const input = $('ctl-relay-value');
  input.min = v.min;
  input.max = v.max;
  input.value = v.value;
  input.setAttribute('aria-label', v.label);
  setText('ctl-relay-unit', v.unit);
}

// The options of a select, rebuilt only when the list changed.
function fillSelect(id, names) {
  const select = $(id);
  const list = Array.isArray(names) ? names.map(String) : [];
  if (select.dataset.names === JSON.stringify(list)) return;
  select.dataset.names = JSON.stringify(list);
  const chosen = select.value;
  select.textContent = '';
  list.forEach((name) => {
    const option = document.createElement('option');
    option.textContent = name;
    select.appendChild(option);
  });
  if (list.includes(chosen)) select.value = chosen;
}

let controlsError = '';

function showControlsFrom(r) {
  if (r.status === 200 && r.body) {
    showControls(r.body);
    if (controlsError) showMessage('', false);
    controlsError = '';
  } else {
    controlsError = failure(r);
    showMessage(controlsError, true);
  }
}

function showMessage(text, error) {
  const m = $('ctl-message');
  m.textContent = text || '';
  m.className = 'message' + (error ? ' error' : '');
}

// Runs one kal_sim command, then shows its effect at once. The fields it
// applied follow the device again once it has taken them.
async function control(args, applied = []) {
  const r = await fetchJson('/sim', { method: 'POST', headers: JSON_HEADERS, body: JSON.stringify({ args }) });
  const ok = r.status === 200 && r.body !== null;
  controlsError = '';
  showMessage(ok ? r.body.message : failure(r), !ok);
  if (ok) unmarkEdited(applied);
  poll();
}

function wire() {
  $('module').onchange = fillExamples;
  $('example').onchange = () => setRequest($('example').value);
  $('request').oninput = () => {
    if ($('json-check').textContent) showJsonError(jsonError($('request').value));
    syncForm();
  };
  $('send').onclick = send;

  ['ctl-battery-level', 'ctl-battery-charging', 'ctl-sim-state', 'ctl-sim-pin'].forEach((id) => {
    $(id).addEventListener('input', () => markEdited(id));
    $(id).addEventListener('change', () => markEdited(id));
  });
  $('ctl-battery-apply').onclick = () => control(['battery', $('ctl-battery-level').value,
    $('ctl-battery-charging').checked ? '--charging' : '--not-charging'], ['ctl-battery-level', 'ctl-battery-charging']);
  $('ctl-signal').onchange = () => control(['signal', $('ctl-signal').value]);
  $('ctl-registration').onchange = () => control(['registration', $('ctl-registration').checked ? 'on' : 'off']);
  $('ctl-roaming').onchange = () => control(['roaming', $('ctl-roaming').checked ? 'on' : 'off']);
  $('ctl-sim-apply').onclick = () => {
    const state = $('ctl-sim-state').value;
    control(state === 'pin-required' ? ['sim', state, $('ctl-sim-pin').value] : ['sim', state], ['ctl-sim-state', 'ctl-sim-pin']);
  };
  $('ctl-sms-receive').onclick = () => control(['sms', 'receive', $('ctl-sms-number').value, $('ctl-sms-text').value]);
  $('ctl-station-add').onclick = () => {
    const name = $('ctl-station-name').value;
    control(name ? ['station', 'add', $('ctl-station-mac').value, name] : ['station', 'add', $('ctl-station-mac').value]);
  };
  $('ctl-sdcard').onchange = () => control(['sdcard', $('ctl-sdcard').checked ? 'in' : 'out']);
  $('ctl-wifi').onchange = () => control(['wifi', $('ctl-wifi').checked ? 'reachable' : 'unreachable']);
  $('ctl-update-offer').onclick = () => control(['update', 'offer', $('ctl-update-version').value]);
  $('ctl-update-none').onclick = () => control(['update', 'none']);
  $('ctl-fault-apply').onclick = () => {
    const kind = $('ctl-fault-kind').value;
    control(['fault', $('ctl-fault-service').value, kind].concat(kind === 'slow' ? [$('ctl-fault-ms').value] : []));
  };
  $('ctl-fault-clear').onclick = () => control(['fault', 'clear']);
  $('ctl-snapshot-save').onclick = () => control(['snapshot', 'save', $('ctl-snapshot-name').value]);
  $('ctl-snapshot-restore').onclick = () => control(['snapshot', 'restore', $('ctl-snapshot-list').value]);
  $('ctl-reset').onclick = () => control(['reset']);
  $('ctl-power-cycle').onclick = () => control(['power', 'cycle']);
  $('ctl-scenario-file').onclick = () => control(['scenario', 'start', $('ctl-scenario-path').value]);
  $('ctl-relay-kind').onchange = showRelayKind;
  $('ctl-relay-apply').onclick = () => {
    const kind = $('ctl-relay-kind').value;
    control([kind, $('ctl-relay-target').value].concat(RELAY_VALUES[kind] ? [$('ctl-relay-value').value] : []));
  };
  $('ctl-relay-clear').onclick = () => control(['relay', 'clear']);
  $('ctl-scenario-start').onclick = () => control(['scenario', 'start', $('ctl-scenario-name').value]);
  $('ctl-scenario-stop').onclick = () => control(['scenario', 'stop']);
}

wire();
showHistory();
loadExamples();
loadSchema();
poll();
