// Runs the polkit rule as polkitd would, with a stub polkit object, and asks it about the
// server's own unit, another unit, a transient unit, no unit at all, and other verbs and users.
// Usage: node polkit_rule_test.js RULES_FILE
"use strict";
const fs = require("fs");

const Result = { YES: "yes", NO: "no", NOT_HANDLED: "not_handled" };
const rules = [];
const polkit = { Result, addRule: (f) => rules.push(f), log: () => {} };
new Function("polkit", fs.readFileSync(process.argv[2], "utf8"))(polkit);
if (rules.length !== 1) throw new Error("expected one rule, got " + rules.length);

// What polkitd decides: the first rule that handles the request, else the default (not ours).
function ask(user, id, details) {
  const action = { id, lookup: (key) => details[key] };
  return rules[0](action, { user });
}

const manage = "org.freedesktop.systemd1.manage-units";
const unit = "TAVO_WindowsServer.service";
const cases = [
  ["tavo", manage, { unit, verb: "restart" }, Result.YES],
  ["tavo", manage, { unit, verb: "stop" }, Result.YES],
  ["tavo", manage, { unit, verb: "start" }, Result.YES],
  // Nothing else about the unit, and nothing about any other unit.
  ["tavo", manage, { unit, verb: "enable" }, Result.NOT_HANDLED],
  ["tavo", manage, { unit, verb: "mask" }, Result.NOT_HANDLED],
  ["tavo", manage, { unit: "ssh.service", verb: "stop" }, Result.NOT_HANDLED],
  ["tavo", manage, { unit: "run-u42.service", verb: "start" }, Result.NOT_HANDLED],
  ["tavo", manage, { unit: "TAVO_WindowsServer.service.d", verb: "start" }, Result.NOT_HANDLED],
  ["tavo", manage, {}, Result.NOT_HANDLED],
  ["tavo", manage, { verb: "start" }, Result.NOT_HANDLED],
  ["tavo", "org.freedesktop.systemd1.manage-unit-files", { unit }, Result.NOT_HANDLED],
  ["tavo", "org.freedesktop.login1.reboot", {}, Result.NOT_HANDLED],
  // Only the service's own account.
  ["nobody", manage, { unit, verb: "restart" }, Result.NOT_HANDLED],
];
let failed = 0;
for (const [user, id, details, expected] of cases) {
  const got = ask(user, id, details);
  if (got !== expected) {
    failed++;
    console.log("FAIL", user, id, JSON.stringify(details), "gave", got, "not", expected);
  }
}
if (failed) process.exit(1);
console.log("polkit rule verified: " + cases.length + " questions");
