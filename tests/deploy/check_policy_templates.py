#!/usr/bin/env python3
# The group policy templates against the code: every setting read through the policy lookup
# has a policy writing its policy key and value, of the kind the code reads, stating the
# code's default; no policy names a setting the code does not read; both files keep the ADMX
# structure (references resolve, required attributes, no duplicates).
import os, re, sys
import xml.etree.ElementTree as ET

root, admx_path, adml_path = sys.argv[1], sys.argv[2], sys.argv[3]
NS = "{http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions}"
POLICY_BASE = "software\\policies\\velmora\\zephral"
errors = []

def fail(text): errors.append(text)

def read(path): return open(path, encoding="utf-8").read()

# Settings of the code: (policy key, value) -> (kind, default).
code = {}
def add(rel, default, kind):
    sub, _, value = rel.replace("\\\\", "\\").rpartition("\\")
    code[((POLICY_BASE + sub).lower(), value.lower())] = (kind, default)
CALL = re.compile(r'(Parse(Bool|U?Int)\(\s*)?\b(ReadConfig(Bool|UInt|Value)|ChannelSetting(Bool|UInt)?|ConfigValue)'
                  r'\(\s*L"([^"]+)",\s*L"([^"]*)"\)')
for folder, dirs, files in os.walk(root):
    dirs[:] = [d for d in dirs if os.path.relpath(os.path.join(folder, d), root).split(os.sep)[0]
               not in ("tests", "tools", "bench", ".git") and not d.startswith("build")]
    for name in (f for f in files if f.endswith(".cpp")):
        for m in CALL.finditer(read(os.path.join(folder, name))):
            bits = (m.group(2) or "") + (m.group(4) or m.group(5) or "")
            add(m.group(6), m.group(7), "bool" if "Bool" in bits else "dec" if "Int" in bits else "text")
log = read(os.path.join(root, "lib/mfw/common/log/LogSettings.cpp"))
getters = {n: {"Bool": "bool", "UInt": "dec", "Int": "dec", "": "text"}[g]
           for g, n in re.findall(r'_->Get(Bool|UInt|Int|)\(L"(\w+)"\)', log)}
for sub, body in re.findall(r'sysconfig>\(\s*rootPath(?: \+ L"([^"]*)")?,\s*std::vector<std::wstring>\{(.*?)\},'
                           r'\s*\w+,\s*true', log, re.S):
    for name, default in re.findall(r'L"(\w+)=([^"]*)"', body):
        add(sub + "\\\\" + name, default, getters.get(name, "unused"))
m = re.search(r'L"(FallbackToLegacyGPO)".*?plain = L"(\w+)"', read(os.path.join(root, "lib/mfw/common/config/Config.cpp")), re.S)
add("\\\\" + m.group(1), m.group(2), "bool")
if len(code) < 50: fail(f"only {len(code)} settings found in the code: the patterns no longer match it")

# The templates' structure.
admx, adml = ET.parse(admx_path).getroot(), ET.parse(adml_path).getroot()
if admx.tag != NS + "policyDefinitions" or adml.tag != NS + "policyDefinitionResources": fail("root element or namespace")
for r in (admx, adml):
    if not (r.get("revision") and r.get("schemaVersion")): fail(f"{r.tag}: revision and schemaVersion")
if admx.find(f"{NS}policyNamespaces/{NS}target") is None or admx.find(f"{NS}resources").get("minRequiredRevision") is None:
    fail("policyNamespaces target or resources minRequiredRevision missing")
usings = {u.get("prefix"): u.get("namespace") for u in admx.iter(NS + "using")}
strings = [s.get("id") for s in adml.iter(NS + "string")]
presentations = {p.get("id"): p for p in adml.iter(NS + "presentation")}
texts = {s.get("id"): s.text or "" for s in adml.iter(NS + "string")}
categories = [c.get("name") for c in admx.iter(NS + "category")]
supported = [d.get("name") for d in admx.iter(NS + "definition")]
policies = list(admx.iter(NS + "policy"))
for kind, names in (("string", strings), ("presentation", list(presentations)), ("category", categories),
                    ("policy", [p.get("name") for p in policies]), ("element", [e.get("id") for e in admx.iter() if e.get("id")])):
    for name in {n for n in names if names.count(n) > 1}: fail(f"duplicate {kind} {name}")
for kind, ref in re.findall(r'\$\((string|presentation)\.(\w+)\)', read(admx_path)):
    if ref not in (strings if kind == "string" else presentations): fail(f"$({kind}.{ref}) not in the ADML")
for ref in (p.get("ref") for p in admx.iter(NS + "parentCategory")):
    if ref not in categories: fail(f"category {ref} does not exist")
for ref in (r.get("ref") for r in admx.iter() if r.tag in (NS + "supportedOn", NS + "reference") and r.get("ref")):
    if ref not in supported and usings.get(ref.partition(":")[0]) != "Microsoft.Policies.Windows": fail(f"supportedOn {ref}")

# Each policy against the code.
seen = set()
for p in policies:
    name = p.get("name")
    if not all(p.get(a) for a in ("name", "class", "displayName", "explainText", "key")) or p.find(NS + "parentCategory") is None \
            or p.find(NS + "supportedOn") is None or p.get("class") not in ("Machine", "User", "Both"):
        fail(f"{name}: a required attribute or element is missing")
    elements = list(p.find(NS + "elements") if p.find(NS + "elements") is not None else [])
    value = p.get("valueName") if not elements else elements[0].get("valueName")
    kind = {"decimal": "dec", "text": "text", "enum": "text", "multiText": "text"}.get(elements[0].tag[len(NS):], "?") if elements else "bool"
    if kind == "bool" and (p.find(f"{NS}enabledValue/{NS}decimal").get("value"), p.find(f"{NS}disabledValue/{NS}decimal").get("value")) != ("1", "0"):
        fail(f"{name}: a boolean writes 1 and 0")
    setting = ((p.get("key") or "").lower(), (value or "").lower())
    seen.add(setting)
    if setting not in code: fail(f"{name}: the code reads no {setting}"); continue
    want_kind, default = code[setting]
    stated = re.findall(r"^Default: (.*)$", texts.get(p.get("explainText", "")[9:-1], ""), re.M)
    want = ("true" if default.lower() in ("true", "yes", "on") else "false") if kind == "bool" else default or "(empty)"
    if want_kind != kind: fail(f"{name}: the code reads it as {want_kind}, the policy writes {kind}")
    if stated[-1:] != [want]: fail(f"{name}: explain text states default {stated[-1:]}, the code uses {want!r}")
    shown = [b.get("defaultValue") for b in presentations.get(name, []) if b.tag == NS + "decimalTextBox"] + \
            [d.text for d in presentations.get(name, ET.Element("x")).iter(NS + "defaultValue")]
    if default and kind != "bool" and elements[0].tag != NS + "enum" and shown != [default]: fail(f"{name}: presentation shows {shown}, not {default}")
    if kind == "dec" and default and not int(elements[0].get("minValue", "0")) <= int(default) <= int(elements[0].get("maxValue", "9999")):
        fail(f"{name}: default {default} outside the range")
for key, value in sorted(set(code) - seen): fail(f"no policy for {key}\\{value} (the code reads it, default {code[(key, value)][1]!r})")
print("\n".join(errors) or f"{len(policies)} policies match the {len(code)} settings of the code")
sys.exit(1 if errors else 0)
