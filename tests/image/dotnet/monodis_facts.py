# The display names monodis reads from the test assemblies, in the form the
# .NET utility writes them: monodis_facts.py OUTDIR
import hashlib, os, re, subprocess, sys

out = sys.argv[1]
files = ["app/Program.exe", "app/Lib.dll", "app/Culture.dll", "strong/Strong.dll", "absent/Absent.dll"]
framework = sorted("debian/" + f for f in os.listdir(os.path.join(out, "debian")))

def monodis(option, path):
    return subprocess.run(["monodis", option, os.path.join(out, path)], capture_output=True, text=True, check=True).stdout

def hexdump(lines):
    return bytes(int(b, 16) for line in lines for b in re.findall(r"\b[0-9A-F]{2}\b", line.split(":", 1)[1]))

def display(name, version, culture, token):
    return "%s, Version=%s, Culture=%s, PublicKeyToken=%s" % (name, version, culture or "neutral", token.hex() if token else "null")

cultures = {}
for path in files + framework:
    text = monodis("--assembly", path)
    name = re.search(r"^Name:\s+(\S+)", text, re.M).group(1)
    version = re.search(r"^Version:\s+(\S+)", text, re.M).group(1)
    culture = re.search(r"^Culture:[ \t]*(\S*)", text, re.M).group(1)
    dump = re.search(r"Dump:\n((?:0x[0-9a-f]+:.*\n)+)", text)
    key = hexdump(dump.group(1).splitlines()) if dump else b""
    token = hashlib.sha1(key).digest()[-8:][::-1] if key else b""
    cultures[name] = culture
    print("name %s|%s" % (path, display(name, version, culture, token)))

for path in ["app/Program.exe"] + framework:
    text = monodis("--assemblyref", path)
    for entry in re.split(r"\n(?=\d+: )", text.split("AssemblyRef Table", 1)[1].strip()):
        if not entry:
            continue
        version = re.search(r"Version=(\S+)", entry).group(1)
        name = re.search(r"Name=(\S+)", entry).group(1)
        key = re.search(r"Public Key:\n((?:0x[0-9a-f]+:.*\n?)+)", entry)
        token = hexdump(key.group(1).splitlines()) if key else b""
        print("ref %s|%s" % (path, display(name, version, cultures.get(name, ""), token)))
