#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""veeprom load's JSON against Python's json module, an independent strict
parser: over generated documents, valid and invalid, veeprom takes what
json.loads takes as an object of known keys (each once) whose values are null
or strings of code points up to U+00FF, and stores the same bytes; only what
it refuses is "not JSON".  The store starts each document at bootcause
"system".  usage: json_oracle.py VEEPROM STORE"""
import json
import os
import re
import subprocess
import sys

veeprom, store = sys.argv[1], sys.argv[2]
original = open(store, 'rb').read()
start = original[:9] + b'system\0\0' + original[17:]
WORDS = [b'normal', b'recovery', b'uboot', b'boot', b'system', b'all']


class Obj(list):
    pass


NOT_JSON = 'not JSON'  # json.loads, a leading byte order mark skipped, refuses it


def expected(doc):
    """The bootcause bytes veeprom must store for doc, None when it must refuse."""
    try:
        top = json.loads(doc.decode('utf-8-sig'), object_pairs_hook=Obj)
    except ValueError:  # UnicodeDecodeError and JSONDecodeError among them
        return NOT_JSON
    keys = [k for k, _ in top] if isinstance(top, Obj) else None
    if keys is None or len(set(keys)) != len(keys) or not set(keys) <= {'medium', 'device', 'bootcause'}:
        return None
    values = dict(top)
    if any(v is not None and not isinstance(v, str) for v in values.values()):
        return None
    value = values.get('bootcause')
    if value is None:
        return b'system\0\0'
    if any(ord(c) > 0xFF for c in value):
        return None
    b = value.encode('latin-1')
    if b in (b'', b'none'):
        return bytes(8)
    return (b + bytes(8))[:8] if b in WORDS else None


values = [b'"normal"', b'"\\u006eormal"', b'"\\u006Eormal"', b'"n\\u006frmal"', b'"\\boot"', b'"\\n\\o\\r\\m\\a\\l"',
          b'"boot\\u0000"', b'"\\ud83d\\ude00"', b'"\\ud800"', b'"\\udc00boot"', b'"\\u00e9"', '"\u00e9"'.encode(), b'"\xff"',
          b'"\xc0\xaf"', b'"\xed\xa0\x80"', b'"\xf4\x90\x80\x80"', b'"bo\x01ot"', b'"bo\tot"', b'"\\/"', b'"\\x41"', b'"\\u12"',
          b'"\\U0041"', b'null', b'nul', b'5', b'true', b'[]', b'{}', b'"none"', b'""', b'"system"', b'"recovery"', b'"all "',
          b"'boot'", b'"uboot', b'"\\"boot"', b'"\\\\"', b'"\x7f"', '"\u0100"'.encode()]
shapes = [b' \n{ "bootcause" : %s }\r\n', b'{"bootcause":%s,}', b'{"bootcause":%s}x', b'{"medium":"mtd","bootcause":%s,"device":null}',
          b'{"bootcause":%s,"bootcause":"all"}', b'{"\\u0062ootcause":%s}', b'{"bootcause" %s}', b'[{"bootcause":%s}]',
          b'{"bootcause":%s}\0', b'\xef\xbb\xbf{"bootcause":%s}', b'{\x0c"bootcause":%s}', b'{"medium":5,"bootcause":%s}',
          b'{"colour":%s}', b'{"bootcause":%s "scheme":null}', b'{"colour":[1,2,],"bootcause":%s}',
          b'{"bootcause":%s,\n"x":[1,{"y":nul}]}', b'{"x":[-0,2.5e+3,true,false,{},""],"bootcause":%s}', b'{"bootcause":%s,"x":01}']
docs = [b'{"bootcause":%s}' % v for v in values] + [s % v for s in shapes for v in (b'"boot"', b'null', b'"\\u0061ll"')]
wrong, taken = [], 0
for doc in docs:
    open(store, 'r+b').write(start)
    run = subprocess.run([veeprom, 'load', '-'], input=doc, capture_output=True)
    now = open(store, 'rb').read()
    want = expected(doc)
    said = re.fullmatch(rb'veeprom: -: line [1-9][0-9]*, column [1-9][0-9]*: not JSON\n', run.stderr) is not None
    if said != (want is NOT_JSON):
        want = 'a refusal as "not JSON" when json.loads refuses, and only then'
    elif want is NOT_JSON:
        want = None
    got = now[9:17] if run.returncode == 0 else None
    if got != want or (run.returncode not in (0, 2)) or now[:9] + now[17:512] != start[:9] + start[17:512]:
        wrong.append(f'{doc!r}: veeprom {run.returncode} {got!r}, json.loads {want!r} {run.stderr!r}')
    taken += run.returncode == 0
open(store, 'wb').write(original)
log = os.environ['VEEPROM_ROOT'] + '/requests.log'
if os.path.exists(log):  # the changes' requests, made by this script
    os.remove(log)
if not 0 < taken < len(docs):
    wrong.append(f'vacuous: {taken} of {len(docs)} taken')
print(''.join(w + '\n' for w in wrong), end='')
sys.exit(1 if wrong else 0)
