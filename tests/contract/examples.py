#!/usr/bin/env python3
"""The examples against the declared contract.

  examples.py schema SOURCE_DIR
      Every example request (the corpus's <module>-<n>.json files and
      docs/api.md's) is valid against docs/kal-api.request.schema.json, every
      example reply of docs/api.md against its action's reply schema; for each
      declared integer range, the example with the bounds is valid and with
      the values just outside is not.

  examples.py replies SOURCE_DIR KAL_SERVER [--write]
      Sends docs/api.md's example requests, in order, each section's to a
      server on a fresh simulated device of its own, and compares each reply with the one shown (clock and
      traffic values masked); --write puts the device's replies in instead,
      keeping the masked values shown. A line "<!-- device: CONTROL ... -->"
      before an example sets the simulated device first (kal_sim's words,
      kal_sim found next to KAL_SERVER; "restart" starts the server again); "<!-- poll: TEXT -->" sends the
      example again, for up to 10 s, until the reply holds TEXT (white space
      aside).

  examples.py typescript SOURCE_DIR OUT_DIR
      Type-checks tests/contract/ts/client.ts and every example request, as
      a KalRequest, with tsc (npm ci in tests/contract/ts installs it).

  examples.py isolated SOURCE_DIR
      Type-checks tests/contract/vite/main.ts, a page importing
      docs/kal-api.ts, as a Vite project does: strict, isolatedModules and
      verbatimModuleSyntax.

  examples.py vite SOURCE_DIR OUT_DIR
      Builds that page with the workbench's pinned Vite (npm ci in
      tests/workbench/devserver) into OUT_DIR; the bundle must hold send().

Exit 77 (a skip) when python3-jsonschema, tsc or Vite is missing."""
import copy
import json
import os
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

REFRESH = "tests/contract/examples.py replies . build/kal_server --write"

# Values that follow the clock or the traffic: never the same twice.
MASKED = re.compile(
    r'"(localTime|time|year|month|date|hour|minute|second|totalStatistics|dailyStatistics|txSpeed|rxSpeed|'
    r'RXSpeed|downloadedSize|percentage|upTime|connTime)":(\s*)("(?:[^"\\]|\\.)*"|-?[0-9.eE+]+)')


def corpus_examples(src):
    corpus = os.path.join(src, "tests/fuzz/corpus")
    out = []
    for name in sorted(os.listdir(corpus)):
        if re.match(r"^[A-Za-z_]+-\d+\.json$", name):
            with open(os.path.join(corpus, name), "rb") as f:
                out.append((name, f.read().decode("utf-8")))
    return out


def api_examples(src, steps=None):
    """docs/api.md's examples: (line index of the request, request, reply lines).
    steps, when given, gets each example's device controls and poll flag."""
    with open(os.path.join(src, "docs/api.md"), encoding="utf-8") as f:
        lines = f.read().split("\n")
    out = []
    controls, poll = [], None
    section = ""
    i = 0
    while i < len(lines):
        if lines[i].startswith("## "):
            section = lines[i]
        marker = re.match(r"^<!-- device: (.*) -->$", lines[i])
        if marker:
            controls.append(shlex.split(marker.group(1)))
        until = re.match(r"^<!-- poll: (.*) -->$", lines[i])
        if until:
            poll = until.group(1)
        if lines[i].startswith('    {"module"'):
            start = i
            i += 1
            while i < len(lines) and lines[i].startswith("    "):
                i += 1
            out.append((start, lines[start][4:], [l[4:] for l in lines[start + 1:i]]))
            if steps is not None:
                steps.append((controls, poll, section))
            controls, poll = [], None
        else:
            i += 1
    return lines, out


def schema_check(src):
    try:
        import jsonschema
    except ImportError:
        print("skipped: python3-jsonschema is not installed")
        return 77
    with open(os.path.join(src, "docs/kal-api.request.schema.json")) as f:
        request_schema = json.load(f)
    with open(os.path.join(src, "docs/kal-api.reply.schema.json")) as f:
        reply_schema = json.load(f)
    requests = jsonschema.Draft202012Validator(request_schema)
    failures = []

    def valid(validator, value):
        return not any(True for _ in validator.iter_errors(value))

    examples = [(name, json.loads(text)) for name, text in corpus_examples(src)]
    _, doc = api_examples(src)
    for line, request, reply in doc:
        examples.append(("docs/api.md:%d" % (line + 1), json.loads(request)))
        text = "\n".join(reply)
        parsed = json.loads(text) if text.strip() else None
        key = "%s.%s" % (json.loads(request)["module"], json.loads(request)["action"])
        if parsed is not None and key in reply_schema["$defs"]:
            one = dict(reply_schema["$defs"][key])
            errors = list(jsonschema.Draft202012Validator(one).iter_errors(parsed))
            if errors:
                failures.append("docs/api.md:%d: reply of %s: %s" % (line + 2, key, errors[0].message))
    for name, request in examples:
        errors = list(requests.iter_errors(request))
        if errors:
            best = jsonschema.exceptions.best_match(errors)
            failures.append("%s: %s is not a valid request: %s" % (name, json.dumps(request), best.message))

    # The declared ranges: the bounds are valid, the values just outside not.
    first = {}
    for name, request in examples:
        first.setdefault("%s.%s" % (request["module"], request["action"]), request)
    checked = 0
    for key, action in request_schema["$defs"].items():
        for path, member in integer_members(action):
            seed = copy.deepcopy(first.get(key, {"module": action["properties"]["module"]["const"],
                                                 "action": action["properties"]["action"]["const"]}))
            low, high = member["minimum"], member["maximum"]
            for value, expected in ((low, True), (high, True), (low - 1, False), (high + 1, False)):
                request = put(seed, path, value)
                if valid(requests, request) != expected:
                    failures.append("%s %s = %d: %s" % (key, ".".join(map(str, path)), value,
                                                        "refused by the schema" if expected else "accepted"))
            checked += 1
    for f in failures:
        print(f)
    print("%d example requests, %d replies, %d declared ranges checked: %d failures" %
          (len(examples), len(doc), checked, len(failures)))
    return 1 if failures else 0


def integer_members(schema, path=()):
    """(path, schema) of every integer member with a range, objects and a list's first element."""
    for name, member in schema.get("properties", {}).items():
        if member.get("type") == "integer" and "minimum" in member:
            yield path + (name,), member
        if member.get("type") == "object":
            yield from integer_members(member, path + (name,))
        if member.get("type") == "array" and member.get("items", {}).get("type") == "object":
            yield from integer_members(member["items"], path + (name, 0))


def put(seed, path, value):
    request = copy.deepcopy(seed)
    node = request
    for step, after in zip(path, path[1:]):
        if isinstance(node, list):
            while len(node) <= step:
                node.append({})
        elif step not in node or not isinstance(node[step], (dict, list)):
            node[step] = [] if isinstance(after, int) else {}
        node = node[step]
    if isinstance(node, list):
        while len(node) <= path[-1]:
            node.append(None)
    node[path[-1]] = value
    # A member read only while its switch is on: switch it on.
    if path[-1] in ("warningPercent", "limitation"):
        node.setdefault("enableDataLimit", True)
        node.setdefault("limitation", "1024")
    if path[-1] == "paymentDay":
        node.setdefault("enablePaymentDay", True)
    return request


def mask(text):
    return MASKED.sub(lambda m: '"%s":%sM' % (m.group(1), m.group(2)), text)


def keep_masked(new, old):
    """new with each masked value taken from old, occurrence by occurrence."""
    shown = {}
    for m in MASKED.finditer(old):
        shown.setdefault(m.group(1), []).append(m.group(3))
    used = {}

    def take(m):
        key = m.group(1)
        n = used.get(key, 0)
        used[key] = n + 1
        values = shown.get(key, [])
        return '"%s":%s%s' % (key, m.group(2), values[n] if n < len(values) else m.group(3))
    return MASKED.sub(take, new)


class Device:
    """A server on a fresh simulated device of its own."""

    def __init__(self, server):
        self.server = server
        self.root = tempfile.mkdtemp(prefix="kal-examples-")
        self.env = dict(os.environ, KAL_ROOT=self.root)
        self.start()

    def start(self):
        self.proc = subprocess.Popen([self.server], env=self.env, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)
        self.path = os.path.join(self.root, "tmp/vy_kal_server.sock")
        deadline = time.time() + 15
        while not os.path.exists(self.path):
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("the server did not start on " + self.root)
            time.sleep(0.02)
        self.client = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self.client.bind("")
        self.client.settimeout(20)

    def request(self, text):
        self.client.sendto(text.encode("utf-8"), self.path)
        return self.client.recv(300000).decode("utf-8", "replace")

    def stop(self):
        self.client.close()
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        # Its socket file stays: the next start is awaited by the new one.
        if os.path.exists(self.path):
            os.unlink(self.path)

    # A power cycle: the device reads its card only at power-on.
    def restart(self):
        self.stop()
        self.start()

    def close(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)


def replies(src, server, write):
    steps = []
    lines, doc = api_examples(src, steps)
    sim = os.path.join(os.path.dirname(server), "kal_sim")
    answers = []
    device, section = None, None
    try:
        for (line, request, shown), (controls, poll, heading) in zip(doc, steps):
            if heading != section:
                if device is not None:
                    device.close()
                device, section = Device(server), heading
            for control in controls:
                if control == ["restart"]:
                    device.restart()
                    continue
                if subprocess.run([sim] + control, env=device.env, stdout=subprocess.DEVNULL).returncode != 0:
                    print("docs/api.md:%d: kal_sim %s failed" % (line, " ".join(control)))
                    return 1
            deadline = time.time() + 10
            while True:
                answer = device.request(request)
                if poll is None or poll in re.sub(r"\s", "", answer) or time.time() > deadline:
                    break
                time.sleep(0.05)
            answers.append(answer)
    finally:
        if device is not None:
            device.close()
    differ = 0
    for (line, request, shown), answer in reversed(list(zip(doc, answers))):
        old = "\n".join(shown)
        if mask(answer) == mask(old):
            continue
        differ += 1
        if write:
            lines[line + 1:line + 1 + len(shown)] = ["    " + l for l in keep_masked(answer, old).split("\n")]
        else:
            print("docs/api.md:%d: %s answers\n%s\nnot\n%s\n" % (line + 1, request, answer, old))
    if write:
        with open(os.path.join(src, "docs/api.md"), "w", encoding="utf-8") as f:
            f.write("\n".join(lines))
    print("%d example replies, %d %s" % (len(doc), differ, "rewritten" if write else "differ"))
    if differ and not write:
        print("refresh with: " + REFRESH)
    return 1 if differ and not write else 0


def typescript(src, out):
    src = os.path.abspath(src)
    ts = os.path.join(src, "tests/contract/ts")
    tsc = os.path.join(ts, "node_modules/.bin/tsc")
    if not os.access(tsc, os.X_OK):
        print("skipped: tsc is not installed (npm ci in tests/contract/ts)")
        return 77
    os.makedirs(out, exist_ok=True)
    requests = [text.strip() for _, text in corpus_examples(src)]
    requests += [request for _, request, _ in api_examples(src)[1]]
    with open(os.path.join(out, "examples.ts"), "w", encoding="utf-8") as f:
        f.write('import type { KalRequest } from "%s/docs/kal-api";\n\n' % src)
        f.write("export const examples: KalRequest[] = [\n")
        for request in requests:
            f.write("    %s,\n" % request)
        f.write("];\n")
    with open(os.path.join(out, "tsconfig.json"), "w") as f:
        json.dump({"extends": os.path.join(ts, "tsconfig.json"),
                   "files": [os.path.join(ts, "client.ts"), "examples.ts"]}, f)
    run = subprocess.run([tsc, "-p", os.path.join(out, "tsconfig.json")])
    print("tsc: the client and %d example requests %s" % (len(requests), "type-check" if run.returncode == 0
                                                              else "do not type-check"))
    return 0 if run.returncode == 0 else 1


def isolated(src):
    src = os.path.abspath(src)
    tsc = os.path.join(src, "tests/contract/ts/node_modules/.bin/tsc")
    if not os.access(tsc, os.X_OK):
        print("skipped: tsc is not installed (npm ci in tests/contract/ts)")
        return 77
    config = os.path.join(src, "tests/contract/vite/tsconfig.json")
    run = subprocess.run([tsc, "-p", config])
    print("tsc (strict, isolatedModules, verbatimModuleSyntax): the page %s" %
          ("type-checks" if run.returncode == 0 else "does not type-check"))
    return 0 if run.returncode == 0 else 1


def vite(src, out):
    src = os.path.abspath(src)
    bin = os.path.join(src, "tests/workbench/devserver/node_modules/vite/bin/vite.js")
    node = shutil.which("node")
    if node is None or not os.path.exists(bin):
        print("skipped: Vite is not installed (npm ci in tests/workbench/devserver)")
        return 77
    shutil.rmtree(out, ignore_errors=True)
    run = subprocess.run([node, bin, "build", os.path.join(src, "tests/contract/vite"), "--outDir", out,
                          "--emptyOutDir", "--logLevel", "warn"])
    if run.returncode != 0:
        print("vite build failed (exit %d)" % run.returncode)
        return 1
    assets = os.path.join(out, "assets")
    bundles = [os.path.join(assets, f) for f in os.listdir(assets) if f.endswith(".js")] if os.path.isdir(assets) else []
    text = "".join(open(b, encoding="utf-8").read() for b in bundles)
    with open(os.path.join(out, "index.html"), encoding="utf-8") as f:
        page = f.read()
    if not bundles or "/api" not in text or not all(os.path.basename(b) in page for b in bundles):
        print("vite build: no bundle with send() that the page loads in %s" % out)
        return 1
    print("vite build: %s, %d bytes, loaded by index.html" % (os.path.basename(bundles[0]), len(text)))
    return 0


def main():
    if len(sys.argv) >= 3 and sys.argv[1] == "schema":
        return schema_check(sys.argv[2])
    if len(sys.argv) >= 4 and sys.argv[1] == "replies":
        return replies(sys.argv[2], sys.argv[3], "--write" in sys.argv[4:])
    if len(sys.argv) >= 4 and sys.argv[1] == "typescript":
        return typescript(sys.argv[2], sys.argv[3])
    if len(sys.argv) >= 3 and sys.argv[1] == "isolated":
        return isolated(sys.argv[2])
    if len(sys.argv) >= 4 and sys.argv[1] == "vite":
        return vite(sys.argv[2], sys.argv[3])
    print(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main())
