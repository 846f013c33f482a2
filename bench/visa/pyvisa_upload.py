"""Uploads one image with Debian's pyvisa-py the way the engine does: the block
message in 4096-byte raw writes without END, then a lone line feed with END.
Prints the seconds the block transfer took (from the first piece to the reply)
and the CPU seconds this process spent on it.

usage: pyvisa_upload.py RESOURCE IMAGE
"""
import sys
import time

import pyvisa


def main():
    resource, path = sys.argv[1], sys.argv[2]
    data = open(path, "rb").read()
    rm = pyvisa.ResourceManager("@py")
    inst = rm.open_resource(resource)
    try:
        inst.timeout = 240000
        inst.write_termination = ""
        inst.read_termination = "\n"
        inst.write("*cls\n")
        inst.write("DIAG:UPD:STARt\n")
        inst.query("DIAG:UPD:SSIZ? HPAP\n")
        reply = inst.query("DIAG:UPD:INIT? HPAP,%d,%d\n" % (len(data), len(data)))
        if reply.strip() != "0":
            sys.exit("initialise refused: %r" % reply)
        digits = str(len(data))
        message = b"DIAG:UPD:BLOC? #" + str(len(digits)).encode() + digits.encode() + data
        start = time.perf_counter()
        cpu_start = time.process_time()
        inst.send_end = False
        for at in range(0, len(message), 4096):
            inst.write_raw(message[at:at + 4096])
        inst.send_end = True
        inst.write_raw(b"\n")
        reply = inst.read()
        seconds = time.perf_counter() - start
        cpu_seconds = time.process_time() - cpu_start
        if reply.strip() != "0":
            sys.exit("block refused: %r" % reply)
        inst.write("DIAG:UPD:DONE\n")
        inst.write("DIAG:UPD:END\n")
        print("%.6f %.6f" % (seconds, cpu_seconds))
    finally:
        inst.close()
        rm.close()


if __name__ == "__main__":
    main()
