// Device console: the dashboard, a request composer and the simulated
// device's controls. Talks only to kal_http: POST /api (one request, its
// reply), GET/POST /sim (the controls) and GET /examples.
'use strict';

const POLL_MS = 1000;
const SIM_STATES = ['absent', 'ready', 'PIN required', 'PUK required', 'blocked'];

const $ = (id) => document.getElementById(id);
const setText = (id, text) => { $(id).textContent = text; };

async function api(request) {
  const res = await fetch('/api', {
    method: 'POST', headers: { 'Content-Type': 'application/json' }, body: request,
  });
  return { status: res.status, text: await res.text() };
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

let pollTimer = null;

function showStatus(s) {
  const b = s.battery || {};
  setText('battery', b.connected === false ? 'none' : (b.voltage ?? '-') + ' %');
  setText('battery-state', b.charging ? 'charging' : 'on battery');

  const w = s.wan || {};
  showSignal(w.registerStatus === 1 ? w.signalStrength || 0 : -1);
  setText('network', (w.operatorName || 'no operator') + (w.roaming ? ', roaming' : '') +
    (w.networkType ? ', type ' + w.networkType : ''));
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

async function poll() {
  clearTimeout(pollTimer);
  try {
    const r = await api('{"module":"status","action":0}');
    if (r.status !== 200) {
      setLink('down', JSON.parse(r.text).error || 'HTTP ' + r.status);
    } else {
      showStatus(JSON.parse(r.text));
      setLink('ok', 'server answering');
      setText('updated', 'updated ' + new Date().toLocaleTimeString());
    }
  } catch (e) {
    setLink('down', 'kal_http unreachable');
  }
  pollTimer = setTimeout(poll, POLL_MS);
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
  $('request').value = select.value;
}

async function loadExamples() {
  try {
    const res = await fetch('/examples');
    examples = await res.json();
  } catch (e) {
    examples = [];
  }
  const modules = [...new Set(examples.map((e) => e.module))].sort();
  const select = $('module');
  modules.forEach((m) => {
    const option = document.createElement('option');
    option.textContent = m;
    select.appendChild(option);
  });
  fillExamples();
}

async function send() {
  setText('reply-status', 'sending…');
  const started = performance.now();
  try {
    const r = await api($('request').value);
    const ms = Math.round(performance.now() - started);
    let shown = r.text;
    try { shown = JSON.stringify(JSON.parse(r.text), null, 2); } catch (e) { /* shown as received */ }
    setText('reply', shown);
    setText('reply-status', 'HTTP ' + r.status + ', ' + r.text.length + ' bytes, ' + ms + ' ms');
  } catch (e) {
    setText('reply', '');
    setText('reply-status', 'kal_http unreachable');
  }
}

// Controls ------------------------------------------------------------------

function showControls(c) {
  $('ctl-battery-level').value = c.battery.level;
  $('ctl-battery-charging').checked = c.battery.charging;
  $('ctl-signal').value = String(c.signal);
  $('ctl-registration').checked = c.registration;
  $('ctl-roaming').checked = c.roaming;
  $('ctl-sim-state').value = c.sim.state;
  $('ctl-sim-pin').value = c.sim.pin;
  $('ctl-sdcard').checked = c.sdcard === 'in';
  $('ctl-wifi').checked = c.wifi === 'reachable';
  setText('ctl-update-state', c.update ? 'offering ' + c.update : 'nothing on offer');
  const list = $('ctl-station-list');
  list.textContent = '';
  (c.stations || []).forEach((s) => {
    const item = document.createElement('li');
    item.textContent = (s.hostname || '(no name)') + ' ' + s.mac + ' ';
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'remove';
    remove.onclick = () => control(['station', 'remove', s.mac]);
    item.appendChild(remove);
    list.appendChild(item);
  });
}

async function loadControls() {
  try {
    const res = await fetch('/sim');
    const body = await res.json();
    if (res.ok) showControls(body);
    else showMessage(body.error, true);
  } catch (e) {
    showMessage('kal_http unreachable', true);
  }
}

function showMessage(text, error) {
  const m = $('ctl-message');
  m.textContent = text || '';
  m.className = 'message' + (error ? ' error' : '');
}

// Runs one kal_sim command, then shows its effect at once.
async function control(args) {
  try {
    const res = await fetch('/sim', {
      method: 'POST', headers: { 'Content-Type': 'application/json' }, body: JSON.stringify({ args }),
    });
    const body = await res.json();
    showMessage(res.ok ? body.message : body.error, !res.ok);
  } catch (e) {
    showMessage('kal_http unreachable', true);
  }
  await loadControls();
  poll();
}

function wire() {
  $('module').onchange = fillExamples;
  $('example').onchange = () => { $('request').value = $('example').value; };
  $('send').onclick = send;

  $('ctl-battery-apply').onclick = () => control(['battery', $('ctl-battery-level').value,
    $('ctl-battery-charging').checked ? '--charging' : '--not-charging']);
  $('ctl-signal').onchange = () => control(['signal', $('ctl-signal').value]);
  $('ctl-registration').onchange = () => control(['registration', $('ctl-registration').checked ? 'on' : 'off']);
  $('ctl-roaming').onchange = () => control(['roaming', $('ctl-roaming').checked ? 'on' : 'off']);
  $('ctl-sim-apply').onclick = () => {
    const state = $('ctl-sim-state').value;
    control(state === 'pin-required' ? ['sim', state, $('ctl-sim-pin').value] : ['sim', state]);
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
}

wire();
loadExamples();
loadControls();
poll();
