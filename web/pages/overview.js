'use strict';
// The technician's view of the whole clinic: every station online or not, every open call
// with its age, the SMS counts, the server's role and version.
(() => {
  const TYPES = { call: 'Anrop', display: 'Visning', admin: 'Admin', hardware: 'Hårdvara', other: 'Annan' };
  const ROLES = { serving: 'aktiv', standby: 'reserv' };
  const STATES = { online: 'ansluten', away: 'borta', waiting: 'v\u00e4ntas', offline: 'ej ansluten' };
  const callRows = document.querySelector('#calls tbody');
  const stationRows = document.querySelector('#stations tbody');

  function render(data) {
    document.getElementById('clinic').textContent = data.clinic || 'TAVO';
    document.getElementById('server').textContent =
      `TAVO-server ${data.version} \u00b7 ${ROLES[data.role] || data.role}`;

    const calls = [];
    for (const r of data.calls) {
      for (const c of r.calls) {
        const tr = Tavo.el('tr', 'call');
        Object.assign(tr.dataset, { resource: r.lopnr, station: c.station, time: c.time, coming: c.coming });
        if (r.escalateAfter !== null) tr.dataset.escalateAfter = r.escalateAfter;
        const resource = Tavo.el('td', 'resource-name', r.name);
        Tavo.paint(resource, r);
        const caller = Tavo.el('td', 'caller', c.caller);
        const age = Tavo.el('td', 'age');
        const coming = Tavo.el('td', 'coming', c.coming !== 0 ? c.comingName : '');
        tr.append(resource, caller, age, coming);
        calls.push(tr);
      }
    }
    callRows.replaceChildren(...calls);
    document.getElementById('no-calls').hidden = calls.length > 0;
    document.getElementById('call-count').textContent = calls.length ? `(${calls.length})` : '';

    let online = 0;
    stationRows.replaceChildren(...data.stations.map(s => {
      // The supervision's word where it watches the station: gone for a moment is not offline.
      const away = !s.online && (s.supervision === 'away' || s.supervision === 'waiting');
      const tr = Tavo.el('tr', s.online ? 'station online' : away ? 'station away' : 'station offline');
      tr.dataset.name = s.name;
      tr.dataset.online = s.online;
      if (s.online) online++;
      tr.append(Tavo.el('td', 'dot'), Tavo.el('td', 'name', s.name), Tavo.el('td', '', s.friendly),
                Tavo.el('td', '', TYPES[s.type] || s.type),
                Tavo.el('td', 'state', s.supervision ? STATES[s.supervision] || s.supervision
                                                     : s.online ? 'ansluten' : 'ej ansluten'));
      return tr;
    }));
    document.getElementById('station-count').textContent = `(${online} av ${data.stations.length} anslutna)`;

    document.getElementById('sms-queued').textContent = data.sms ? data.sms.queued : '\u2013';
    document.getElementById('sms-failed').textContent = data.sms ? data.sms.failed : '\u2013';
    document.getElementById('sms-failed').classList.toggle('bad', !!data.sms && data.sms.failed > 0);
    tick();
  }

  function tick() {
    document.getElementById('clock').textContent = Tavo.clockText();
    for (const tr of callRows.children) {
      const seconds = Tavo.ageSeconds(tr.dataset.time);
      tr.querySelector('.age').textContent = Tavo.formatAge(seconds);
      const limit = tr.dataset.escalateAfter;
      tr.classList.toggle('escalated', limit !== undefined && tr.dataset.coming === '0' && seconds >= +limit);
    }
  }

  setInterval(tick, 1000);
  Tavo.connect('/overview/events', { overview: render }, null);
})();
