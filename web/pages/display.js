'use strict';
// One display station's list, as its CURRENTLIST says it: the resources in the list's order,
// each in its colour with its calls oldest first, who is coming, and how long each has waited.
(() => {
  const base = location.pathname.replace(/\/+$/, '');
  const main = document.getElementById('resources');

  function render(data) {
    document.getElementById('station').textContent = data.friendly || data.station;
    document.title = `TAVO \u2013 ${data.friendly || data.station}`;
    document.getElementById('missing').hidden = true;
    document.getElementById('empty').hidden = data.resources.length > 0;
    const sections = data.resources.map(r => {
      const section = Tavo.el('section', 'resource');
      section.dataset.lopnr = r.lopnr;
      section.dataset.position = r.position;
      section.dataset.colour = r.colour;
      if (r.escalateAfter !== null) section.dataset.escalateAfter = r.escalateAfter;
      section.classList.toggle('idle', r.calls.length === 0);
      const name = Tavo.el('h2', 'resource-name', r.name);
      Tavo.paint(name, r);
      section.append(name);
      const list = Tavo.el('ol', 'calls');
      for (const c of r.calls) {
        const li = Tavo.el('li', 'call');
        Object.assign(li.dataset, { station: c.station, time: c.time, colour: c.colour,
                                    coming: c.coming, comingTime: c.comingTime });
        const caller = Tavo.el('span', 'caller', c.caller);
        Tavo.paint(caller, c);
        const age = Tavo.el('span', 'age');
        age.dataset.since = c.time;
        li.append(caller, age);
        if (c.coming !== 0) {
          li.classList.add('answered');
          const coming = Tavo.el('span', 'coming');
          coming.append(Tavo.el('span', 'coming-label', 'Kommer'), Tavo.el('span', 'coming-name', c.comingName),
                        Tavo.el('span', 'coming-time', c.comingTime.slice(11, 16)));
          li.append(coming);
        }
        list.append(li);
      }
      section.append(list);
      return section;
    });
    main.replaceChildren(...sections);
    tick();
  }

  function missing() {
    main.replaceChildren();
    document.getElementById('missing').hidden = false;
  }

  // Ages count up every second; an unanswered call past its resource's escalation time is marked.
  function tick() {
    document.getElementById('clock').textContent = Tavo.clockText();
    for (const section of main.children) {
      const limit = section.dataset.escalateAfter;
      for (const li of section.querySelectorAll('li.call')) {
        const seconds = Tavo.ageSeconds(li.dataset.time);
        li.querySelector('.age').textContent = Tavo.formatAge(seconds);
        li.classList.toggle('escalated', limit !== undefined && li.dataset.coming === '0' && seconds >= +limit);
      }
    }
  }

  setInterval(tick, 1000);
  Tavo.connect(`${base}/events`, { list: render, missing }, null);
})();
