#!/usr/bin/env python3
"""Writes N journal records of a line of 4 stations with 16 ports each, as
the tool writes them (about 450 bytes a record), to standard output:
    report_journal.py N [SEED]"""
import random
import sys

n = int(sys.argv[1])
rnd = random.Random(int(sys.argv[2]) if len(sys.argv) > 2 else 1)
causes = [("Error code (WF): 0x 20000007", 536870919, '"ERROR: flash id 0x00c2 not supported"'),
          ("Error code (WF): 0x 20000007", 536870919, '"ERROR: erase of sector 12 failed"'),
          ("Error during read from COM7", "null", "null"),
          ("Time out ", "null", "null"),
          ("Access to bootloader failed ", "null", "null")]
head = ('{"time":"%s","tool":"update 3.6-25","mode":"serial","port":%d,'
        '"file":"/srv/line3/software/released/23.0/box-23.0-release-candidate-2-signed.pad","file_size":4194304,'
        '"file_checksum":"%s","format":21,"file_version":"%s","box_version":"%s","patched":false,'
        '"line_speed":921600,"bytes_sent":%d,"seconds":%.3f,"result":"%s","exit_code":%d')
out = sys.stdout
buf = []
for i in range(n):
    ms = 1_700_000 + i * 450  # a box every 0.45 s over the line, from 00:28
    s, frac = divmod(ms, 1000)
    h, rest = divmod(s, 3600)
    day, h = divmod(h, 24)
    t = "2026-12-%02d T%02d:%02d:%02d.%03dZ".replace(" ", "") % (8 + day, h, rest // 60, rest % 60, frac)
    r = rnd.random()
    station = "line3-station-%d" % (i % 4 + 1)
    port = i // 4 % 16 + 1
    version, checksum = ("23.0", "0057b1ae") if i < n // 2 else ("23.1", "00a1c3f0")
    box = "23.0" if r < 0.8 else "24.1"
    if r < 0.95:
        line = head % (t, port, checksum, version, box, 4194304, 14 + r * 4, "ok", 0)
    elif r < 0.995:
        e, code, be = causes[int(r * 1000) % len(causes)]
        line = head % (t, port, checksum, version, box, int(r * 4194304), 9 + r, "failed", 1)
        line += ',"error":"%s","error_code":%s,"box_error":%s' % (e, code, be)
    else:
        line = head % (t, port, checksum, version, box, 0, 3 + r, "stopped", 1)
        line += ',"error":"Stopped by SIGINT during download.","error_code":null,"box_error":null'
    line += ',"station":"%s","attempt":"%032x"}\n' % (station, rnd.getrandbits(128))
    buf.append(line)
    if len(buf) == 10000:
        out.write("".join(buf))
        buf = []
out.write("".join(buf))
