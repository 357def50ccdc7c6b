'use strict';
// Shared by the pages: the event stream with its "connection lost" state, the server's
// clock, and the ages of calls counted from it. Server times are local date-time texts
// ("2026-12-09 10:15:02"); they are compared on one naive scale with the server's own clock,
// so a browser with a wrong clock or another time zone still counts right.
const Tavo = (() => {
  const LOST_AFTER_MS = 15000; // three heartbeats missed
  let offsetMs = 0; // server's naive time minus this browser's clock

  function parseTime(text) {
    const m = /^(\d{4})-(\d{2})-(\d{2})(?:[ T](\d{2}):(\d{2}):(\d{2})(?:\.(\d{1,3}))?)?$/.exec(text || '');
    if (!m) return NaN;
    return Date.UTC(+m[1], +m[2] - 1, +m[3], +(m[4] || 0), +(m[5] || 0), +(m[6] || 0),
                    +((m[7] || '0').padEnd(3, '0')));
  }

  function serverNow() { return Date.now() + offsetMs; }

  function ageSeconds(text) {
    const t = parseTime(text);
    return isNaN(t) ? 0 : Math.max(0, Math.floor((serverNow() - t) / 1000));
  }

  function two(n) { return String(n).padStart(2, '0'); }

  function formatAge(seconds) {
    const h = Math.floor(seconds / 3600), m = Math.floor(seconds / 60) % 60, s = seconds % 60;
    return h > 0 ? `${h}:${two(m)}:${two(s)}` : `${m}:${two(s)}`;
  }

  function clockText() {
    const d = new Date(serverNow());
    return `${two(d.getUTCHours())}:${two(d.getUTCMinutes())}:${two(d.getUTCSeconds())}`;
  }

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function paint(e, colour) {
    e.style.backgroundColor = colour.css || '';
    e.style.color = colour.css ? colour.ink : '';
  }

  // Opens the page's event stream and keeps it open. on: handlers by event name;
  // onState(connected) is told whenever the connection is lost or back.
  function connect(path, on, onState) {
    let source = null;
    let lastSeen = Date.now();
    let connected = false;

    function state(up) {
      if (up !== connected) {
        connected = up;
        document.body.classList.toggle('disconnected', !up);
        document.getElementById('lost').hidden = up;
        if (onState) onState(up);
      }
    }
    function seen() {
      lastSeen = Date.now();
      state(true);
    }
    function open() {
      if (source) source.close();
      source = new EventSource(path + location.search);
      source.addEventListener('clock', ev => {
        offsetMs = parseTime(JSON.parse(ev.data).now) - Date.now();
        seen();
      });
      for (const [name, handler] of Object.entries(on)) {
        source.addEventListener(name, ev => {
          seen();
          handler(JSON.parse(ev.data));
        });
      }
      source.onerror = () => {
        state(false);
        // The browser retries by itself after a network error, but not after an error answer.
        if (source.readyState === EventSource.CLOSED) setTimeout(open, 5000);
      };
    }
    setInterval(() => {
      if (Date.now() - lastSeen > LOST_AFTER_MS) {
        state(false);
        lastSeen = Date.now(); // one new attempt per period
        open();
      }
    }, 1000);
    state(false);
    open();
  }

  return { parseTime, serverNow, ageSeconds, formatAge, clockText, el, paint, connect };
})();
