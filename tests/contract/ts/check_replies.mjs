// Replies against docs/kal-api.reply.schema.json, with ajv in strict mode.
//
//   node check_replies.mjs SCHEMA DIR   every recorded exchange of DIR/*.jsonl
//                                       (one {"test","request","reply"} a line)
//                                       against its action's reply schema
//   node check_replies.mjs SCHEMA       the schema's own refusals: a success
//                                       without a member, a failure with one
//                                       too many, a few replies of old, and
//                                       what the request schema beside it
//                                       takes of a partial save
//
// One line per mismatch (module, action, reply, why), then the count;
// exit 1 on any mismatch, 2 for a usage error, 77 (a skip) without ajv.
import fs from "node:fs";
import path from "node:path";

let Ajv2020;
try {
    Ajv2020 = (await import("ajv/dist/2020.js")).default;
} catch {
    console.log("skipped: ajv is not installed (npm ci in tests/contract/ts)");
    process.exit(77);
}

function load(schemaPath) {
    const schema = JSON.parse(fs.readFileSync(schemaPath, "utf8"));
    const ajv = new Ajv2020({ strict: true, allErrors: false });
    ajv.addSchema(schema, "reply");
    const validators = new Map();
    for (const key of Object.keys(schema.$defs))
        validators.set(key, ajv.getSchema(`reply#/$defs/${key}`));
    // Each answer alone, by "<key>/<index>".
    for (const [key, def] of Object.entries(schema.$defs)) {
        (def.oneOf ?? []).forEach((_, i) => validators.set(`${key}/${i}`, ajv.getSchema(`reply#/$defs/${key}/oneOf/${i}`)));
    }
    const modules = new Set(Object.keys(schema.$defs).filter((k) => k.includes(".")).map((k) => k.split(".")[0]));
    return { path: schemaPath, schema, validators, modules };
}

function why(validate) {
    const e = (validate.errors ?? [])[0];
    return e ? `${e.instancePath || "/"} ${e.message}${e.params ? " " + JSON.stringify(e.params) : ""}` : "";
}

// The keys whose schema the reply to request may match: the dispatcher's
// failure reply for what no module handles, else the action's answers or,
// for a code the module does not define, its undefined-action answer. An
// action that is not a number is cJSON's value: 0, or 1 for true, which
// one module reads as 0.
function candidates(request, known) {
    if (request === null || typeof request !== "object" || Array.isArray(request))
        return ["notHandled"];
    const { module, action } = request;
    if (typeof module !== "string" || !known.modules.has(module) || !("action" in request))
        return ["notHandled"];
    let codes;
    if (typeof action === "number")
        codes = [Math.max(-2147483648, Math.min(2147483647, Math.trunc(action)))];
    else
        codes = action === true ? [1, 0] : [0];
    return codes.map((code) => (known.validators.has(`${module}.${code}`) ? `${module}.${code}` : "undefinedAction"));
}

function checkRecords(known, dir) {
    let checked = 0;
    const mismatches = [];
    const files = fs.existsSync(dir) ? fs.readdirSync(dir).filter((f) => f.endsWith(".jsonl")).sort() : [];
    for (const file of files) {
        for (const line of fs.readFileSync(path.join(dir, file), "utf8").split("\n")) {
            if (line.trim() === "")
                continue;
            const record = JSON.parse(line);
            checked++;
            const keys = candidates(record.request, known);
            const label = keys[0] === "notHandled" ? "(not handled)" : keys.join(" or ");
            if (!("reply" in record)) {
                mismatches.push(`${label}: ${record.test}: the reply is not JSON: ${JSON.stringify(record.replyText)}`);
                continue;
            }
            const reasons = [];
            for (const key of keys) {
                const validate = known.validators.get(key);
                if (validate(record.reply))
                    break;
                reasons.push(`${key}: ${why(validate)}`);
            }
            if (reasons.length === keys.length) {
                const module = record.request?.module, action = record.request?.action;
                mismatches.push(`module ${JSON.stringify(module)} action ${JSON.stringify(action)}: ${record.test}: ` +
                                `${JSON.stringify(record.reply)}: ${reasons.join("; ")}`);
            }
        }
    }
    for (const m of mismatches)
        console.log(m);
    console.log(`${checked} replies from ${files.length} test processes checked against their schemas: ` +
                `${mismatches.length} mismatches`);
    return mismatches.length === 0 ? 0 : 1;
}

// A reply each answer of each action must refuse: its first required
// member (besides "result") left out, or a member it never carries added;
// the action as a whole refuses the one too many (another answer may be
// the one without the member, as "result" alone often is).
function checkRefusals(known) {
    const failures = [];
    let checked = 0;
    const expect = (key, reply, valid, what) => {
        checked++;
        if (known.validators.get(key)(reply) !== valid)
            failures.push(`${key}: ${JSON.stringify(reply)} (${what}) is ${valid ? "refused" : "accepted"}`);
    };
    const sample = (s) => {
        if (s.const !== undefined)
            return s.const;
        if (s.enum !== undefined)
            return s.enum[0];
        switch (s.type) {
        case "integer":
        case "number": return 0;
        case "boolean": return false;
        case "string": return "";
        case "array": return [];
        case "object": {
            const out = {};
            for (const name of s.required ?? [])
                out[name] = sample(s.properties[name]);
            return out;
        }
        }
        return null;
    };
    for (const [key, def] of Object.entries(known.schema.$defs)) {
        (def.oneOf ?? [def]).forEach((answer, i) => {
            const one = def.oneOf ? `${key}/${i}` : key;
            const whole = sample(answer);
            expect(key, whole, true, "the answer with its required members");
            expect(key, { ...whole, unexpected: 1 }, false, "a member too many");
            const missing = (answer.required ?? []).find((name) => name !== "result");
            if (missing !== undefined) {
                const short = { ...whole };
                delete short[missing];
                expect(one, short, false, `without "${missing}"`);
            }
        });
    }
    // What the schemas of old accepted and no server sends.
    expect("status.0", { result: 0 }, false, "a dashboard without its sections");
    expect("wlan.0", { result: 0, ssid: "x" }, false, "a partial read");
    expect("wlan.1", { result: 1, ssid: "x" }, false, "a failure with a member");
    expect("flowstat.0", { settings: {}, result: 1 }, true, "a read that stopped at once");
    expect("flowstat.0", { settings: {}, result: 0 }, false, "a success without the settings");
    expect("notHandled", { result: -10 }, true, "the dispatcher's failure reply");
    // The request schema compiles in strict mode too, and says what the
    // server takes of a partial save.
    const requestPath = path.join(path.dirname(known.path), "kal-api.request.schema.json");
    const request = new Ajv2020({ strict: true }).compile(JSON.parse(fs.readFileSync(requestPath, "utf8")));
    const takes = (value, valid, what) => {
        checked++;
        if (request(value) !== valid)
            failures.push(`request ${JSON.stringify(value)} (${what}) is ${valid ? "refused" : "accepted"}`);
    };
    takes({ module: "flowstat", action: 1, settings: { warningPercent: 50 } }, true, "a member not read: answered 0");
    takes({ module: "flowstat", action: 1, settings: { enableDataLimit: true } }, false, "the limit on without its value");
    takes({ module: "flowstat", action: 1, settings: { enablePaymentDay: true, paymentDay: 3 } }, true, "the day alone");
    takes({ module: "wlan", action: 1, mixed: { mode: 3 } }, true, "the automatic cipher");
    takes({ module: "wlan", action: 1, region: "fr" }, false, "a region in lower case");
    takes({ module: "webServer", action: 1, language: "english" }, false, "a language longer than what is kept");
    for (const f of failures)
        console.log(f);
    console.log(`${checked} replies and requests checked against the schemas' refusals: ${failures.length} failures`);
    return failures.length === 0 ? 0 : 1;
}

function main() {
    const [schemaPath, dir] = process.argv.slice(2);
    if (!schemaPath) {
        console.log("usage: node check_replies.mjs SCHEMA [DIR]");
        return 2;
    }
    const known = load(schemaPath);
    return dir === undefined ? checkRefusals(known) : checkRecords(known, dir);
}

process.exitCode = main();
