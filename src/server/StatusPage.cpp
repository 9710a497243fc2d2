// The status page for engineers at the rack: one HTML document with its style and script inline, no
// other resource. The script fills it from the node's JSON (GET /status.json and the Node API) every
// few seconds; every text it shows goes in as text, never as markup.
#include "StatusPage.h"

#include <openssl/evp.h>

namespace Qel_nmos_bridge {

namespace {

const char* const PageStyle = R"QELCSS(
:root{--fg:#1d2430;--muted:#5b6575;--line:#d8dde5;--bg:#f3f5f8;--card:#fff;--ok:#17803d;--mid:#b26a00;--bad:#b42318}
*{box-sizing:border-box}
body{margin:0;font:15px/1.4 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;color:var(--fg);background:var(--bg)}
header{display:flex;flex-wrap:wrap;align-items:baseline;gap:.3rem 1rem;padding:.8rem 1rem;background:#1d2430;color:#fff}
header h1{margin:0;font-size:1.25rem}
header span{color:#c5ccd6;font-size:.9rem}
#problem{display:none;margin:1rem 1rem 0;padding:.6rem .8rem;border-radius:6px;background:#fde8e7;color:var(--bad);font-weight:600}
#problem.shown{display:block}
main{display:grid;grid-template-columns:repeat(auto-fit,minmax(20rem,1fr));gap:1rem;padding:1rem}
section{background:var(--card);border:1px solid var(--line);border-radius:8px;padding:.8rem 1rem;min-width:0}
section.wide{grid-column:1/-1}
h2{margin:0 0 .5rem;font-size:1rem;text-transform:uppercase;letter-spacing:.04em;color:var(--muted)}
p{margin:.3rem 0}
.badge{display:inline-block;padding:.15rem .6rem;border-radius:999px;font-weight:700;color:#fff;background:var(--muted)}
.badge.ok{background:var(--ok)}.badge.mid{background:var(--mid)}.badge.bad{background:var(--bad)}
.muted{color:var(--muted)}
.scroll{overflow-x:auto}
table{width:100%;border-collapse:collapse;font-size:.9rem}
th,td{text-align:left;padding:.3rem .5rem;border-bottom:1px solid var(--line);vertical-align:top}
th{font-weight:600;color:var(--muted);white-space:nowrap}
td.id,.sub{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:.8rem;word-break:break-all}
.sub{display:block;color:var(--muted)}
td.level-error{color:var(--bad);font-weight:600}td.level-warning{color:var(--mid);font-weight:600}
tr.empty td{color:var(--muted);font-style:italic}
@media (max-width:40rem){main{grid-template-columns:1fr;padding:.5rem;gap:.5rem}section.wide{grid-column:auto}}
)QELCSS";

const char* const PageScript = R"QELJS(
"use strict";
const REFRESH_MS = 3000;
const NODE = "/x-nmos/node/v1.3";
const token = new URLSearchParams(location.hash.slice(1)).get("access_token");
const headers = token ? {Authorization: "Bearer " + token} : {};
const $ = (id) => document.getElementById(id);

function el(tag, text, cls) {
  const e = document.createElement(tag);
  if (text !== undefined && text !== null) e.textContent = String(text);
  if (cls) e.className = cls;
  return e;
}
function when(seconds) {
  if (!seconds) return "";
  const d = new Date(seconds * 1000);
  return d.toLocaleString();
}
function ago(seconds, now) {
  const s = Math.max(0, Math.round(now - seconds));
  if (s < 90) return s + " s";
  if (s < 5400) return Math.round(s / 60) + " min";
  if (s < 172800) return Math.round(s / 3600) + " h";
  return Math.round(s / 86400) + " days";
}
function setBadge(id, text, kind) {
  const b = $(id);
  b.textContent = text;
  b.className = "badge " + kind;
}
function fillTable(id, rows, empty) {
  const body = $(id).tBodies[0];
  const cols = $(id).tHead.rows[0].cells.length;
  const out = [];
  for (const cells of rows) {
    const tr = el("tr");
    for (const c of cells) {
      const td = el("td", c.text, c.cls);
      if (c.sub) td.appendChild(el("span", c.sub, "sub"));
      tr.appendChild(td);
    }
    out.push(tr);
  }
  if (!out.length) {
    const tr = el("tr", null, "empty");
    const td = el("td", empty);
    td.colSpan = cols;
    tr.appendChild(td);
    out.push(tr);
  }
  body.replaceChildren(...out);
}
async function get(path) {
  const r = await fetch(path, {cache: "no-store", headers, credentials: "same-origin"});
  if (r.status === 401 || r.status === 403) throw new Error("needs an access token (" + r.status + ")");
  if (!r.ok) throw new Error(path + " answered " + r.status);
  return r.json();
}

function showStatus(s) {
  const now = s.time;
  const reg = s.registration || {};
  const kinds = {registered: "ok", registering: "mid", unregistered: "bad"};
  setBadge("reg-state", reg.state || "unknown", kinds[reg.state] || "bad");
  $("reg-since").textContent = reg.since ? "since " + when(reg.since) + " (" + ago(reg.since, now) + ")" : "";
  $("reg-registry").textContent = reg.registry ? "Registry in use: " + reg.registry : "No registry in use";
  fillTable("registries", (s.registries || []).map((r) => [
    {text: r.url, cls: "id"}, {text: r.priority}, {text: r.version || "asking"}, {text: r.origin},
    {text: r.in_use ? "in use" : r.failed ? "failed, passed over" : "standby"}]), "No registry known");
  const fw = s.firmware || {};
  setBadge("fw-state", fw.state || "unknown", fw.connected ? "ok" : fw.state === "connecting" ? "mid" : "bad");
  $("fw-since").textContent = fw.since ? "since " + when(fw.since) + " (" + ago(fw.since, now) + ")" : "";
  $("fw-address").textContent = fw.address ? "Firmware service at " + fw.address : "";
  if (s.errors_hidden) {
    fillTable("errors", [], "Shown only where the Node API needs no access token");
  } else {
    fillTable("errors", (s.errors || []).map((e) => [
      {text: when(e.time)}, {text: e.level, cls: "level-" + e.level}, {text: e.text}]), "None since the node started");
  }
}

function showNode(self, senders, receivers) {
  $("node-label").textContent = self.label || self.id || "";
  $("node-host").textContent = self.hostname && self.hostname !== self.label ? self.hostname : "";
  fillTable("clocks", (self.clocks || []).map((c) => [
    {text: c.name}, {text: c.ref_type},
    {text: c.ref_type === "ptp" ? (c.locked ? "locked" : "not locked") : ""},
    {text: c.gmid || "", cls: "id"}]), "No clock");
  const ptp = (self.clocks || []).find((c) => c.ref_type === "ptp");
  if (ptp) setBadge("ptp-state", ptp.locked ? "locked" : "not locked", ptp.locked ? "ok" : "bad");
  else setBadge("ptp-state", "no PTP clock", "bad");
  const names = new Map(senders.map((x) => [x.id, x.label]));
  fillTable("senders", senders.map((x) => [{text: x.label, sub: x.id}, {text: x.flow_id || "", cls: "id"}]), "No sender");
  fillTable("receivers", receivers.map((x) => {
    const sub = x.subscription || {};
    const to = sub.sender_id ? {text: names.get(sub.sender_id) || "another node's sender", sub: sub.sender_id} : {text: "none"};
    return [{text: x.label, sub: x.id}, to, {text: sub.active ? "active" : "inactive"}];
  }), "No receiver");
}

async function refresh() {
  const problems = [];
  try {
    showStatus(await get("/status.json"));
  } catch (e) {
    problems.push("Status: " + e.message);
  }
  try {
    const [self, senders, receivers] = await Promise.all([get(NODE + "/self"), get(NODE + "/senders"), get(NODE + "/receivers")]);
    showNode(self, senders, receivers);
  } catch (e) {
    problems.push("Node API: " + e.message);
  }
  $("problem").textContent = problems.join("; ");
  $("problem").className = problems.length ? "shown" : "";
  $("updated").textContent = "updated " + new Date().toLocaleTimeString();
  document.body.dataset.refreshed = String(Number(document.body.dataset.refreshed || 0) + 1);
  setTimeout(refresh, REFRESH_MS);
}
refresh();
)QELJS";

const char* const PageBody = R"QELHTML(<body>
<header><h1>Node status</h1><span id="node-label"></span><span id="node-host"></span><span id="updated"></span></header>
<div id="problem" role="alert"></div>
<main>
<section id="registration"><h2>Registration</h2>
<p><span class="badge" id="reg-state">loading</span> <span id="reg-since" class="muted"></span></p>
<p id="reg-registry"></p>
</section>
<section id="firmware"><h2>Firmware link</h2>
<p><span class="badge" id="fw-state">loading</span> <span id="fw-since" class="muted"></span></p>
<p id="fw-address"></p>
</section>
<section id="ptp"><h2>PTP clock</h2>
<p><span class="badge" id="ptp-state">loading</span></p>
<div class="scroll"><table id="clocks"><thead><tr><th>Clock</th><th>Type</th><th>State</th><th>Grandmaster</th></tr></thead><tbody></tbody></table></div>
</section>
<section id="registry-list" class="wide"><h2>Registries known</h2>
<div class="scroll"><table id="registries"><thead><tr><th>Registry</th><th>Priority</th><th>Version</th><th>Found by</th><th>State</th></tr></thead><tbody></tbody></table></div>
</section>
<section id="sender-list" class="wide"><h2>Senders</h2>
<div class="scroll"><table id="senders"><thead><tr><th>Sender</th><th>Flow</th></tr></thead><tbody></tbody></table></div>
</section>
<section id="receiver-list" class="wide"><h2>Receivers</h2>
<div class="scroll"><table id="receivers"><thead><tr><th>Receiver</th><th>Connected to</th><th>State</th></tr></thead><tbody></tbody></table></div>
</section>
<section id="error-list" class="wide"><h2>Last warnings and errors</h2>
<div class="scroll"><table id="errors"><thead><tr><th>Time</th><th>Level</th><th>Message</th></tr></thead><tbody></tbody></table></div>
</section>
</main>
)QELHTML";

std::string SHA256Base64(const std::string& text) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int size = 0;
  if (!EVP_Digest(text.data(), text.size(), digest, &size, EVP_sha256(), nullptr)) return std::string();
  unsigned char encoded[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  const int length = EVP_EncodeBlock(encoded, digest, static_cast<int>(size));
  return std::string(reinterpret_cast<const char*>(encoded), static_cast<size_t>(length));
}

} // namespace

const std::string& StatusPageHTML() {
  static const std::string page =
      std::string("<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
                  "<meta name=\"viewport\" content=\"width=device-width, "
                  "initial-scale=1\"><title>Node status</title><style>") +
      PageStyle + "</style></head>\n" + PageBody + "<script>" + PageScript + "</script>\n</body></html>\n";
  return page;
}

const std::string& StatusPageCSP() {
  // Only the page's own style and script (by their hashes) run; it may fetch from its own origin only.
  static const std::string policy = "default-src 'none'; script-src 'sha256-" + SHA256Base64(PageScript) +
                                    "'; style-src 'sha256-" + SHA256Base64(PageStyle) +
                                    "'; connect-src 'self'; img-src 'none'; base-uri 'none'; "
                                    "form-action 'none'; frame-ancestors 'none'";
  return policy;
}

} // namespace Qel_nmos_bridge
