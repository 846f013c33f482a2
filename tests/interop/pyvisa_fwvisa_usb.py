#!/usr/bin/python3
"""Debian's pyvisa, through its ctypes backend, on libfwvisa.so, against an
emulated USB sensor.

Run as: /usr/bin/python3 pyvisa_fwvisa_usb.py <usb_sensor_host|none> <libfwvisa.so>
It starts itself again inside the emulation (umockdev-wrapper, then
usb_sensor_host plugging in a sensor whose USBTMC interface is number 1,
behind a vendor-specific one) and runs the cases there, where the real
libusb sees the sensor as hardware. Exit status 77: umockdev (or pyvisa) is
missing, so the cases cannot run.
"""

import os
import shutil
import subprocess
import sys
import tempfile
import traceback
import warnings

SKIP = 77
INSIDE = "--inside"
SERIAL = "SN000001"
RSRC = f"USB0::0x1A2B::0x0C3D::{SERIAL}::1::INSTR"
# The same instrument with decimal ids.
DECIMAL = f"USB::6699::3133::{SERIAL}::1::INSTR"
# And without the interface number. pyvisa's own name parser puts "::0::"
# into such a name before opening it, so this one is opened bare.
SHORT = f"USB0::0x1A2B::0x0C3D::{SERIAL}::INSTR"
IDN = f"Tavrion Technologies,K7141HA,{SERIAL},1.0.0"

try:
    import pyvisa
    from pyvisa import constants, errors
except ImportError as e:  # pragma: no cover - environment check
    print(f"skipped: pyvisa not importable ({e})")
    sys.exit(SKIP)

# The cases this shares with the LAN instruments.
from pyvisa_fwvisa import check_locks, check_timeout, expect_error  # noqa: E402

Status = constants.StatusCode


def case_list_open_identify(rm, library):
    assert rm.list_resources("USB?*") == (RSRC,), rm.list_resources("USB?*")
    assert RSRC in rm.list_resources("?*INSTR")
    info = rm.resource_info(DECIMAL)
    assert (info.interface_type, info.interface_board_number, info.resource_class,
            info.resource_name) == (constants.InterfaceType.usb, 0, "INSTR", RSRC), info
    s = rm.open_resource(DECIMAL, read_termination="\n", write_termination="\n")
    assert isinstance(s, pyvisa.resources.USBInstrument), type(s)
    assert s.query("*IDN?") == IDN
    s.close()
    expect_error(Status.error_resource_not_found, rm.open_resource,
                 "USB0::0x1A2B::0x0C3D::SN000002::INSTR")


def case_raw_io_and_termination(rm, library):
    s = rm.open_resource(RSRC)
    s.timeout = 3000
    # No termination character: the read ends at the message's end (EOM)
    # and keeps the line feed.
    assert s.write_raw(b"*IDN?\n") == 6
    assert s.read_raw() == (IDN + "\n").encode()
    # A read shorter than the reply ends at the count; the rest follows.
    s.write_raw(b"*IDN?\n")
    assert s.visalib.read(s.session, 5) == (IDN[:5].encode(), Status.success_max_count_read)
    assert s.read_raw() == (IDN[5:] + "\n").encode()
    # With the termination character enabled the read stops there, even
    # though the message goes on after it.
    s.read_termination = "\n"
    assert s.get_visa_attribute(constants.VI_ATTR_TERMCHAR_EN) == constants.VI_TRUE
    s.read_termination = ","
    s.write_raw(b"*IDN?\n")
    data, status = s.visalib.read(s.session, 1000)
    assert (data, status) == (b"Tavrion Technologies,",
                              Status.success_termination_character_read), (data, status)
    s.read_termination = None
    assert s.read_raw() == (IDN.split(",", 1)[1] + "\n").encode()
    # Without END on the write the instrument waits for the rest.
    s.send_end = False
    s.write_raw(b"*ID")
    s.send_end = True
    s.write_raw(b"N?\n")
    assert s.read_raw() == (IDN + "\n").encode()
    s.close()


def case_timeout(rm, library):
    # Over USB the next query also shows that the abort after the time-out
    # left the interface clean.
    check_timeout(rm, RSRC, IDN)


def case_locks(rm, library):
    # Another process's lock is the interface claim; it dies with the process.
    check_locks(rm, RSRC, library, IDN)


def case_usb_attributes(rm, library):
    s = rm.open_resource(RSRC)
    assert s.resource_name == RSRC, s.resource_name
    assert s.interface_type == constants.InterfaceType.usb
    assert s.interface_number == 1
    assert s.resource_class == "INSTR"
    assert s.manufacturer_id == 0x1A2B
    assert s.model_code == 0x0C3D
    assert s.serial_number == SERIAL
    assert s.usb_protocol == 1  # USB488
    assert s.is_4882_compliant is True
    assert s.manufacturer_name == "Tavrion Technologies"
    assert s.model_name == "K7141HA"
    assert s.get_visa_attribute(constants.VI_ATTR_USB_INTFC_NUM) == 1
    expect_error(Status.error_nonsupported_attribute, s.get_visa_attribute,
                 constants.VI_ATTR_TCPIP_ADDR)
    expect_error(Status.error_attribute_read_only, s.set_visa_attribute,
                 constants.VI_ATTR_MANF_ID, 1)
    # USB488's status byte and trigger.
    assert s.read_stb() & 0x10 == 0
    s.write_raw(b"*IDN?\n")
    assert s.read_stb() & 0x10
    s.clear()
    assert s.read_stb() & 0x10 == 0
    s.close()

    # Named without the interface number, the session still says which one
    # it opened.
    session, _ = rm.open_bare_resource(SHORT)
    try:
        lib = rm.visalib
        assert lib.get_attribute(session, constants.VI_ATTR_RSRC_NAME) == (SHORT, Status.success)
        assert lib.get_attribute(session, constants.VI_ATTR_USB_INTFC_NUM) == (1, Status.success)
        assert lib.get_attribute(session, constants.VI_ATTR_USB_SERIAL_NUM) == (SERIAL,
                                                                                Status.success)
    finally:
        rm.visalib.close(session)


def inside(library):
    confdir = tempfile.mkdtemp(prefix="fwvisa-pyvisa-usb-")
    os.environ["XDG_CONFIG_HOME"] = confdir
    # The cross-process lock files stay with this run.
    os.environ["XDG_RUNTIME_DIR"] = confdir
    os.makedirs(os.path.join(confdir, "firmware-update"))
    with open(os.path.join(confdir, "firmware-update", "visa.conf"), "w") as f:
        f.write("serial = off\n")
    # Reads that end at the count are asked for on purpose.
    warnings.simplefilter("ignore", errors.VisaIOWarning)
    failed = 0
    try:
        rm = pyvisa.ResourceManager(library)
        assert "fwvisa" in str(rm.visalib.library_path), rm.visalib.library_path
        for case in (case_list_open_identify, case_raw_io_and_termination, case_timeout,
                     case_locks, case_usb_attributes):
            try:
                case(rm, library)
                print(f"ok   {case.__name__}")
            except Exception:
                failed += 1
                print(f"FAIL {case.__name__}")
                traceback.print_exc()
        rm.close()
    finally:
        shutil.rmtree(confdir, ignore_errors=True)
    return 1 if failed else 0


def main():
    if len(sys.argv) == 3 and sys.argv[1] == INSIDE:
        return inside(sys.argv[2])
    host, library = sys.argv[1], os.path.abspath(sys.argv[2])
    wrapper = shutil.which("umockdev-wrapper")
    if wrapper is None or not os.path.exists(host):
        print("skipped: umockdev is not installed, so no USB device can be emulated")
        return SKIP
    cmd = [wrapper, host, "--serial", SERIAL, "--interface", "1", "--",
           "/usr/bin/python3", os.path.abspath(__file__), INSIDE, library]
    try:
        return subprocess.run(cmd, timeout=100).returncode
    except subprocess.TimeoutExpired:
        print("FAIL: the run inside the emulation did not end in time")
        return 1


if __name__ == "__main__":
    sys.exit(main())
