# Prints each YAML file as loaded by yaml.safe_load, one canonical JSON line per file, with
# integers folded to 32 bits the way the tool's reader keeps them (-2147483648 to 4294967295 keep
# their bits, anything beyond saturates).
import json
import sys

import yaml


def fold(o):
    if isinstance(o, bool):
        return o
    if isinstance(o, int):
        o = max(-0x80000000, min(o, 0xFFFFFFFF))
        return o - (1 << 32) if o > 0x7FFFFFFF else o
    if isinstance(o, dict):
        return {k: fold(v) for k, v in o.items()}
    if isinstance(o, list):
        return [fold(v) for v in o]
    return o


for path in sys.argv[1:]:
    try:
        with open(path, 'rb') as f:
            doc = yaml.safe_load(f)
        line = json.dumps(fold(doc), ensure_ascii=False, separators=(',', ':'))
    except Exception as e:  # reported on the file's line, so the test shows which file
        line = 'ERROR ' + type(e).__name__ + ': ' + str(e).replace('\n', ' ')
    sys.stdout.buffer.write((line + '\n').encode('utf-8'))
