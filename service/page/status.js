// The runner's live status page. Polls /api/v1/devices every second and
// fetches a device's record, alarms and new plot points only when the
// device list shows that something of it changed. Every text from the API
// goes into the DOM through textContent: names and alarm texts are
// whatever the site file and the controller say.
"use strict";

(() => {
  const POLL_MS = 1000;
  const FETCH_TIMEOUT_MS = 5000;
  const WINDOW_S = 3600;
  const SERIES_LIMIT = 10000;
  const SERIES_PAGES = 20; // a fast-polled hour is more than one page
  const DASH = "\u2014";
  const SVG_NS = "http://www.w3.org/2000/svg";

  const panels = new Map(); // data_id -> panel (see makePanel)
  let connected = null;

  // --- values --------------------------------------------------------------

  // The record carries floats as the controller left them: null for NaN,
  // four equal non-zero bytes where a decoder copied the controller's "not
  // available" marker, -0.1 where the AC current decoder substituted it.
  // The metrics page leaves out the same values.
  const f32 = new Float32Array(1);
  const f32Bytes = new Uint8Array(f32.buffer);
  const AC_ABSENT = Math.fround(-0.1);

  function available(v) {
    if (typeof v !== "number" || !Number.isFinite(v)) return false;
    f32[0] = v;
    const b = f32Bytes;
    return !(b[0] !== 0 && b[0] === b[1] && b[1] === b[2] && b[2] === b[3]);
  }

  // Two decimals, a trailing zero dropped: 229.5, 231.25, 50.0.
  function num(v) {
    if (!available(v)) return DASH;
    return v.toFixed(2).replace(/(\.\d)0$/, "$1");
  }

  function acCurrent(v) {
    return typeof v === "number" && Math.fround(v) === AC_ABSENT ? DASH : num(v);
  }

  function duration(s) {
    if (typeof s !== "number" || !Number.isFinite(s)) return DASH;
    s = Math.max(0, s);
    if (s < 60) return s.toFixed(1) + " s";
    if (s < 3600) return Math.floor(s / 60) + " min " + Math.floor(s % 60) + " s";
    if (s < 86400) return Math.floor(s / 3600) + " h " + Math.floor((s % 3600) / 60) + " min";
    return Math.floor(s / 86400) + " d " + Math.floor((s % 86400) / 3600) + " h";
  }

  function localTime(unix) {
    if (typeof unix !== "number" || !Number.isFinite(unix)) return DASH;
    const d = new Date(unix * 1000);
    const p = (n) => String(n).padStart(2, "0");
    return d.getFullYear() + "-" + p(d.getMonth() + 1) + "-" + p(d.getDate()) + " " +
        p(d.getHours()) + ":" + p(d.getMinutes()) + ":" + p(d.getSeconds());
  }

  // --- fetching ------------------------------------------------------------

  // {status, body}; throws when there is no answer at all (runner gone,
  // timeout) or the answer is not JSON.
  async function getJson(url) {
    const abort = new AbortController();
    const timer = setTimeout(() => abort.abort(), FETCH_TIMEOUT_MS);
    try {
      const res = await fetch(url, {signal: abort.signal, cache: "no-store"});
      const body = await res.json();
      return {status: res.status, body};
    } finally {
      clearTimeout(timer);
    }
  }

  function errorText(r) {
    const e = r.body && typeof r.body.error === "string" ? r.body.error : "";
    return "HTTP " + r.status + (e ? ": " + e : "");
  }

  // --- DOM helpers ---------------------------------------------------------

  function el(tag, attrs, text) {
    const e = document.createElement(tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, v);
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function svg(tag, attrs, text) {
    const e = document.createElementNS(SVG_NS, tag);
    for (const [k, v] of Object.entries(attrs || {})) e.setAttribute(k, String(v));
    if (text !== undefined) e.textContent = text;
    return e;
  }

  function field(root, name) {
    return root.querySelector('[data-field="' + name + '"]');
  }

  function setField(root, name, text) {
    const e = field(root, name);
    if (e && e.textContent !== text) e.textContent = text;
  }

  // Grows or shrinks `parent` to n children made by make(i), so that rows
  // are updated in place and a scrolled table stays where it was.
  function ensureChildren(parent, n, make) {
    while (parent.children.length > n) parent.lastElementChild.remove();
    while (parent.children.length < n) parent.appendChild(make(parent.children.length));
    return Array.from(parent.children);
  }

  // A cell holding a value span (data-field) and its unit.
  function valueCell(tag, name, unit) {
    const td = el(tag);
    td.appendChild(el("span", {"data-field": name}, DASH));
    if (unit) td.appendChild(el("span", {class: "unit"}, unit));
    return td;
  }

  // --- the device panel ----------------------------------------------------

  function makePanel(id) {
    const tpl = document.getElementById("device-template");
    const root = tpl.content.firstElementChild.cloneNode(true);
    root.setAttribute("data-device", String(id));
    return {
      id,
      root,
      seen: null, // the device list entry the shown data belongs to
      dirty: true, // fetch everything at the next poll
      rounds: -1,
      points: [], // series points, oldest first
      serverNow: Date.now() / 1000,
    };
  }

  function renderHeader(p, d) {
    setField(p.root, "name", d.name == null ? "" : String(d.name));
    setField(p.root, "data_id", String(d.data_id));
    const link = field(p.root, "link");
    link.setAttribute("data-state", d.link_up ? "up" : "down");
    setField(p.root, "link", d.link_up ? "link up" : "link down");
    setField(p.root, "age", d.last_round_age == null ? "never" : duration(d.last_round_age) + " ago");
    setField(p.root, "rounds", String(d.rounds));
  }

  function renderAc(root, ac) {
    const count = Number(ac.channel_count) || 0;
    const shown = Math.min(count, Array.isArray(ac.channel) ? ac.channel.length : 0);
    const rows = ensureChildren(root.querySelector(".ac-inputs"), shown, (i) => {
      const tr = el("tr", {"data-input": String(i + 1)});
      tr.appendChild(el("th", {}, "input " + (i + 1)));
      for (const ph of ["a", "b", "c"]) tr.appendChild(valueCell("td", "ac" + (i + 1) + "." + ph, "V"));
      tr.appendChild(valueCell("td", "ac" + (i + 1) + ".f", "Hz"));
      return tr;
    });
    rows.forEach((tr, i) => {
      const c = ac.channel[i];
      for (const k of ["a", "b", "c", "f"]) setField(tr, "ac" + (i + 1) + "." + k, num(c[k]));
    });
    setField(root, "ac.ia", acCurrent(ac.ia));
    setField(root, "ac.ib", acCurrent(ac.ib));
    setField(root, "ac.ic", acCurrent(ac.ic));
    setField(root, "ac.note", count > shown ? count + " inputs reported, " + shown + " held in the record" :
        count === 0 ? "no AC input reported" : "");
  }

  function onOff(b) {
    return b === 0 ? "on" : b === 1 ? "off" : String(b);
  }

  function renderModules(root, rc) {
    setField(root, "rc.v", num(rc.v));
    const count = Number(rc.channel_count) || 0;
    const shown = Math.min(count, Array.isArray(rc.channel) ? rc.channel.length : 0);
    setField(root, "rc.count", String(count));
    const rows = ensureChildren(root.querySelector(".module-rows"), shown, (i) => {
      const n = "rc" + (i + 1);
      const tr = el("tr", {"data-module": String(i + 1)});
      tr.appendChild(el("td", {}, String(i + 1)));
      tr.appendChild(valueCell("td", n + ".i", "A"));
      tr.appendChild(valueCell("td", n + ".on"));
      tr.appendChild(valueCell("td", n + ".limit"));
      tr.appendChild(valueCell("td", n + ".mode"));
      tr.appendChild(valueCell("td", n + ".fault"));
      return tr;
    });
    const faulty = [];
    rows.forEach((tr, i) => {
      const m = rc.channel[i];
      const n = "rc" + (i + 1);
      const state = Array.isArray(m.state) ? m.state : [];
      setField(tr, n + ".i", num(m.i));
      setField(tr, n + ".on", state.length > 0 ? onOff(state[0]) : DASH);
      setField(tr, n + ".limit", state.length > 1 ? String(state[1]) : DASH);
      setField(tr, n + ".mode", state.length > 2 ? String(state[2]) : DASH);
      const fault = Number(m.fault) || 0;
      setField(tr, n + ".fault", fault === 0 ? "ok" : "fault " + fault);
      tr.classList.toggle("faulty", fault !== 0);
      tr.classList.toggle("off", state[0] === 1);
      tr.setAttribute("data-fault", String(fault));
      if (fault !== 0) faulty.push(i + 1);
    });
    // Named in the heading too: in a long table the row may be scrolled away.
    setField(root, "rc.faults", faulty.length ? "faulty: " + faulty.join(", ") : "");
    setField(root, "rc.note", count > shown ? count + " modules reported, " + shown + " held in the record" : "");
  }

  // A second group the controller never filled is all zeros (as on the
  // metrics page).
  function filled(g) {
    return !!g && (g.v !== 0 || g.i !== 0 || g.m_count !== 0 || g.p_count !== 0);
  }

  function dcGroups(record) {
    const groups = [record.dc1];
    if (filled(record.dc2)) groups.push(record.dc2);
    return groups.filter((g) => g);
  }

  function renderDc(root, record) {
    const groups = dcGroups(record);
    const blocks = ensureChildren(root.querySelector(".dc-groups"), groups.length, (i) => {
      const n = "dc" + (i + 1);
      const div = el("div", {class: "dc-group", "data-group": String(i + 1)});
      div.appendChild(el("h4", {}, "group " + (i + 1)));
      const table = el("table", {class: "values"});
      const tbody = el("tbody");
      const row = (label, name, unit) => {
        const tr = el("tr");
        tr.appendChild(el("th", {}, label));
        tr.appendChild(valueCell("td", name, unit));
        tbody.appendChild(tr);
      };
      row("bus voltage", n + ".v", "V");
      row("load current", n + ".i", "A");
      table.appendChild(tbody);
      div.appendChild(table);
      return div;
    });
    blocks.forEach((div, i) => {
      const g = groups[i];
      const n = "dc" + (i + 1);
      setField(div, n + ".v", num(g.v));
      setField(div, n + ".i", num(g.i));
      const tbody = div.querySelector("tbody");
      const batteries = Math.min(Number(g.m_count) || 0, Array.isArray(g.m) ? g.m.length : 0);
      // Rows after the first two are the batteries.
      while (tbody.children.length > 2 + batteries) tbody.lastElementChild.remove();
      while (tbody.children.length < 2 + batteries) {
        const k = tbody.children.length - 1;
        const tr = el("tr");
        tr.appendChild(el("th", {}, "battery " + k));
        tr.appendChild(valueCell("td", n + ".b" + k, "A"));
        tbody.appendChild(tr);
      }
      for (let k = 1; k <= batteries; ++k) setField(div, n + ".b" + k, num(g.m[k - 1]));
    });
  }

  function renderRecord(p, record) {
    renderAc(p.root, record.ac || {});
    renderModules(p.root, record.rc || {});
    renderDc(p.root, record);
  }

  function renderAlarms(p, alarms) {
    const list = p.root.querySelector(".alarms");
    list.replaceChildren();
    for (const a of alarms) {
      const li = el("li", {"data-alarm-id": String(a.alarm_id), "data-key": String(a.key),
                           "data-level": String(a.level)});
      li.appendChild(el("span", {class: "level", "data-level": String(a.level), "data-field": "level"},
                        "L" + a.level));
      li.appendChild(el("span", {class: "alarm-text", "data-field": "text"}, String(a.alarm_text)));
      const meta = el("span", {class: "alarm-meta"});
      const since = typeof a.since === "number"
          ? "since " + localTime(a.since) + " (for " + duration(p.serverNow - a.since) + ")" : "since " + DASH;
      meta.appendChild(el("span", {"data-field": "since"}, since));
      if (a.value_text) meta.appendChild(el("span", {"data-field": "value"}, " · " + a.value_text));
      meta.appendChild(el("span", {}, " · " + a.alarm_id + (a.key ? " / " + a.key : "")));
      li.appendChild(meta);
      list.appendChild(li);
    }
    setField(p.root, "alarm_count", alarms.length ? String(alarms.length) : "");
    setField(p.root, "alarms.note", alarms.length ? "" : "none");
  }

  // --- the plot ------------------------------------------------------------

  const PLOT = {w: 640, left: 48, right: 12, panels: [{top: 8, h: 100}, {top: 130, h: 100}]};

  // Path data for one series; a gap where a value is not available, and at
  // most two points (lowest, highest) per pixel column. A lone point gets a
  // stub so that its round cap shows as a dot.
  function pathData(points, get, x, y) {
    let d = "";
    let pen = false;
    let segment = 0; // columns in the current stretch
    let col = null, lo = null, hi = null;
    const flush = () => {
      if (col === null) return;
      d += (pen ? "L" : "M") + col + " " + y(lo).toFixed(1);
      pen = true;
      ++segment;
      if (hi !== lo) d += "L" + col + " " + y(hi).toFixed(1);
      col = null;
    };
    const endSegment = () => {
      flush();
      if (segment === 1) d += "h0.1";
      segment = 0;
      pen = false;
    };
    for (const pt of points) {
      const v = get(pt);
      if (!available(v)) {
        endSegment();
        continue;
      }
      const c = Math.round(x(pt.t));
      if (c !== col) {
        flush();
        col = c;
        lo = hi = v;
      } else {
        lo = Math.min(lo, v);
        hi = Math.max(hi, v);
      }
    }
    endSegment();
    return d;
  }

  function range(points, gets) {
    let lo = Infinity, hi = -Infinity;
    for (const pt of points)
      for (const get of gets) {
        const v = get(pt);
        if (available(v)) {
          lo = Math.min(lo, v);
          hi = Math.max(hi, v);
        }
      }
    if (lo > hi) return null;
    const pad = Math.max((hi - lo) * 0.1, Math.abs(hi) * 0.01, 0.5);
    return [lo - pad, hi + pad];
  }

  function renderPlot(p) {
    const box = p.root.querySelector("svg.plot");
    box.replaceChildren();
    const now = p.serverNow;
    const t0 = now - WINDOW_S;
    const plotW = PLOT.w - PLOT.left - PLOT.right;
    const x = (t) => PLOT.left + ((t - t0) / WINDOW_S) * plotW;
    const groups = p.points.reduce((n, pt) => Math.max(n, Array.isArray(pt.dc) ? pt.dc.length : 0), 0);
    const quantities = [
      {key: "v", unit: "V", cls: "series-v"},
      {key: "i", unit: "A", cls: "series-i"},
    ];
    quantities.forEach((q, qi) => {
      const panel = PLOT.panels[qi];
      box.appendChild(svg("rect", {class: "frame", x: PLOT.left, y: panel.top, width: plotW, height: panel.h}));
      const gets = [];
      for (let g = 0; g < groups; ++g) gets.push((pt) => (pt.dc && pt.dc[g] ? pt.dc[g][q.key] : null));
      const r = range(p.points, gets);
      if (!r) {
        box.appendChild(svg("text", {x: PLOT.left + 8, y: panel.top + panel.h / 2}, "no " + q.unit + " data"));
        return;
      }
      const y = (v) => panel.top + panel.h - ((v - r[0]) / (r[1] - r[0])) * panel.h;
      for (let k = 0; k <= 2; ++k) {
        const v = r[0] + ((r[1] - r[0]) * k) / 2;
        const yy = y(v);
        box.appendChild(svg("line", {class: "grid", x1: PLOT.left, x2: PLOT.left + plotW, y1: yy, y2: yy}));
        box.appendChild(svg("text", {x: PLOT.left - 4, y: yy + 4, "text-anchor": "end"}, v.toFixed(1)));
      }
      box.appendChild(svg("text", {x: 4, y: panel.top + 12}, q.unit));
      gets.forEach((get, g) => {
        const d = pathData(p.points, get, x, y);
        const cls = q.cls + (g > 0 ? " group2" : "");
        box.appendChild(svg("path", {class: cls, d, "data-series": "dc" + (g + 1) + "." + q.key}));
      });
    });
    const bottom = PLOT.panels[1].top + PLOT.panels[1].h;
    for (let m = 60; m >= 0; m -= 15) {
      const xx = x(now - m * 60);
      box.appendChild(svg("text", {x: xx, y: bottom + 14, "text-anchor": m === 0 ? "end" : "middle"},
                          m === 0 ? "now" : "\u2212" + m + " min"));
    }
  }

  // Adds the points after the last one held, page by page, and drops those
  // older than the window.
  async function fetchSeries(p) {
    const last = p.points.length ? p.points[p.points.length - 1].t : null;
    let since = last !== null ? last : Math.max(0, p.serverNow - WINDOW_S);
    for (let page = 0; page < SERIES_PAGES; ++page) {
      const r = await getJson("/api/v1/devices/" + p.id + "/series?since=" + since.toFixed(3) +
                              "&limit=" + SERIES_LIMIT);
      if (r.status !== 200) {
        setField(p.root, "plot.note", r.status === 503 ? "no history: the runner stores none" : errorText(r));
        return r.status === 503; // nothing to retry for
      }
      const tail = p.points.length ? p.points[p.points.length - 1].t : -Infinity;
      for (const pt of r.body.points || []) if (typeof pt.t === "number" && pt.t > tail) p.points.push(pt);
      if (!r.body.truncated || !p.points.length) break;
      since = p.points[p.points.length - 1].t;
    }
    const cut = p.serverNow - WINDOW_S;
    let drop = 0;
    while (drop < p.points.length && p.points[drop].t < cut) ++drop;
    if (drop) p.points.splice(0, drop);
    setField(p.root, "plot.note", p.points.length ? "" : "no points in the last hour yet");
    return true;
  }

  // --- one device's refresh ------------------------------------------------

  async function refresh(p, d) {
    const id = d.data_id;
    const [rec, alarms, series] = await Promise.all([
      getJson("/api/v1/devices/" + id + "/record").catch(() => null),
      getJson("/api/v1/alarms?data_id=" + id).catch(() => null),
      fetchSeries(p).catch(() => false),
    ]);
    let ok = true;
    if (rec && rec.status === 200 && rec.body && rec.body.record) {
      renderRecord(p, rec.body.record);
      setField(p.root, "notice", "");
    } else if (rec && rec.status === 503) {
      setField(p.root, "notice", "waiting for the first round");
    } else {
      ok = false;
      setField(p.root, "notice", "record: " + (rec ? errorText(rec) : "no answer"));
    }
    if (alarms && alarms.status === 200 && alarms.body && Array.isArray(alarms.body.alarms)) {
      renderAlarms(p, alarms.body.alarms);
    } else {
      ok = false;
    }
    renderPlot(p);
    return ok && series;
  }

  // What in the device list means the shown data may be out of date.
  function stamp(d) {
    return d.rounds + "|" + d.link_up + "|" + d.active_alarms + "|" + d.last_round;
  }

  async function syncDevices(list) {
    const main = document.getElementById("devices");
    const wanted = new Set(list.map((d) => d.data_id));
    for (const [id, p] of panels) {
      if (!wanted.has(id)) {
        p.root.remove();
        panels.delete(id);
      }
    }
    document.getElementById("no-devices").hidden = list.length > 0;
    const work = [];
    for (const d of list) {
      let p = panels.get(d.data_id);
      if (!p) {
        p = makePanel(d.data_id);
        panels.set(d.data_id, p);
      }
      main.appendChild(p.root); // keeps the list's order; a no-op when in place
      const ageNow = typeof d.last_round === "number" && typeof d.last_round_age === "number"
          ? d.last_round + d.last_round_age : null;
      p.serverNow = ageNow !== null ? ageNow : Date.now() / 1000;
      if (typeof d.rounds === "number" && d.rounds < p.rounds) p.points = []; // the runner restarted
      p.rounds = typeof d.rounds === "number" ? d.rounds : p.rounds;
      renderHeader(p, d);
      const s = stamp(d);
      if (p.dirty || s !== p.seen) {
        work.push(refresh(p, d).then((ok) => {
          p.dirty = !ok;
          p.seen = s;
        }));
      }
    }
    await Promise.all(work);
  }

  function setConnection(ok, why) {
    const conn = document.getElementById("conn");
    if (ok) {
      conn.setAttribute("data-state", "ok");
      conn.textContent = "live";
      document.getElementById("updated").textContent = "updated " + localTime(Date.now() / 1000);
    } else {
      conn.setAttribute("data-state", "lost");
      conn.textContent = "connection lost \u2014 retrying";
      conn.title = why ? String(why) : "";
      // Whatever comes back may be a restarted runner: fetch it all again.
      for (const p of panels.values()) p.dirty = true;
    }
    document.body.classList.toggle("stale", !ok);
    connected = ok;
  }

  async function poll() {
    try {
      const r = await getJson("/api/v1/devices");
      if (r.status !== 200 || !r.body || !Array.isArray(r.body.devices)) throw new Error(errorText(r));
      await syncDevices(r.body.devices);
      setConnection(true);
    } catch (e) {
      setConnection(false, e && e.message);
    } finally {
      setTimeout(poll, POLL_MS);
    }
  }

  window.q318bStatus = {connected: () => connected};
  poll();
})();
