#!/usr/bin/python3
"""Debian's pyvisa, through its ctypes backend, on libfwvisa.so, against fwsim.

Run as: /usr/bin/python3 pyvisa_fwvisa.py <fwsim> <libfwvisa.so>
pyvisa is a client nobody here wrote: it calls the library the way any
program on the machine would. Every fwsim started here has its own address
in 127.0.0.80-83 and is stopped by its pid. Exit status 77: the environment
cannot run the cases (pyvisa missing, or port 111 not bindable for fwsim's
portmapper).
"""

import os
import shutil
import sys
import tempfile
import traceback
import warnings

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pyvisa_interop import SKIP, Fwsim, lock_holder, lock_when_freed  # noqa: E402 (also checks pyvisa imports)

import pyvisa  # noqa: E402
from pyvisa import constants, errors  # noqa: E402

Status = constants.StatusCode


def idn_of(address):
    """fwsim's default identity: the serial number follows its address."""
    return f"Tavrion Technologies,K7141HA,{int(address.split('.')[3]):06d},1.0.0"


def expect_error(code, fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except errors.VisaIOError as e:
        assert e.error_code == code, f"expected {code!r}, got {e.error_code!r} ({e})"
        return e
    raise AssertionError(f"expected VISA error {code!r}")


def case_list_parse_and_identify(binary, rm, config):
    with Fwsim(binary, "127.0.0.80") as sim:
        IDN = idn_of(sim.address)
        socket_rsrc = f"TCPIP0::{sim.address}::{sim.socket_port}::SOCKET"
        config(f"{sim.resource()}\ntcpip::{sim.address}::{sim.socket_port}::socket\nserial = off\n")
        assert rm.list_resources("?*") == (sim.resource(), socket_rsrc), rm.list_resources("?*")
        assert rm.list_resources("?*INSTR") == (sim.resource(),)
        info = rm.resource_info(f"tcpip::{sim.address}::inst0::instr")
        assert (info.interface_type, info.interface_board_number, info.resource_class,
                info.resource_name, info.alias) == (
                    constants.InterfaceType.tcpip, 0, "INSTR", sim.resource(), None), info
        expect_error(Status.error_invalid_resource_name, rm.open_resource, "TCPIP0::::INSTR")

        s = rm.open_resource(sim.resource(), read_termination="\n", write_termination="\n")
        assert isinstance(s, pyvisa.resources.TCPIPInstrument)
        assert s.query("*IDN?") == IDN
        s.close()
        raw = rm.open_resource(socket_rsrc, read_termination="\n", write_termination="\n")
        assert isinstance(raw, pyvisa.resources.TCPIPSocket)
        assert raw.query("*IDN?") == IDN
        raw.close()


def case_hislip_when_present(binary, rm, config):
    with Fwsim(binary, "127.0.0.82") as sim:
        IDN = idn_of(sim.address)
        if "hislip" not in sim.ports:
            print("     (fwsim serves no HiSLIP here: case not run)")
            return
        rsrc = f"TCPIP0::{sim.address}::hislip0,{sim.ports['hislip']}::INSTR"
        s = rm.open_resource(rsrc, read_termination="\n", write_termination="\n")
        assert s.get_visa_attribute(constants.VI_ATTR_TCPIP_IS_HISLIP) == constants.VI_TRUE
        assert s.query("*IDN?") == IDN
        s.close()


def case_raw_io_and_termination(binary, rm, config):
    with Fwsim(binary, "127.0.0.81") as sim:
        IDN = idn_of(sim.address)
        s = rm.open_resource(sim.resource())
        s.timeout = 3000
        # No termination character: the read ends at the instrument's END
        # and keeps the line feed.
        assert s.write_raw(b"*IDN?\n") == 6
        assert s.read_raw() == (IDN + "\n").encode()
        # A read shorter than the reply ends at the count; the rest follows.
        s.write_raw(b"*IDN?\n")
        assert s.visalib.read(s.session, 5) == (b"Tavri", Status.success_max_count_read)
        assert s.read_raw() == (IDN[5:] + "\n").encode()
        # With the termination character enabled the read stops there.
        s.read_termination = "\n"
        assert s.get_visa_attribute(constants.VI_ATTR_TERMCHAR) == 10
        assert s.get_visa_attribute(constants.VI_ATTR_TERMCHAR_EN) == constants.VI_TRUE
        s.write("*IDN?")
        data, status = s.visalib.read(s.session, 1000)
        assert (data, status) == ((IDN + "\n").encode(), Status.success_termination_character_read)
        s.close()

        raw = rm.open_resource(f"TCPIP0::{sim.address}::{sim.socket_port}::SOCKET")
        raw.timeout = 3000
        raw.write_raw(b"*IDN?\n")
        # A socket has no END: without the termination character the read
        # takes what fits and says so.
        assert raw.visalib.read(raw.session, 10) == (IDN[:10].encode(),
                                                     Status.success_max_count_read)
        raw.read_termination = "\n"
        assert raw.read() == IDN[10:]
        raw.close()


def check_timeout(rm, rsrc, idn):
    """A read with nothing asked times out with VI_ERROR_TMO, and the session
    still answers the next query."""
    s = rm.open_resource(rsrc, read_termination="\n", write_termination="\n")
    s.timeout = 300
    assert s.timeout == 300
    e = expect_error(Status.error_timeout, s.read)
    assert e.abbreviation == "VI_ERROR_TMO", e.abbreviation
    s.timeout = 3000
    assert s.query("*IDN?") == idn
    s.close()


def case_timeouts(binary, rm, config):
    with Fwsim(binary, "127.0.0.82") as sim:
        IDN = idn_of(sim.address)
        for rsrc in (sim.resource(), f"TCPIP0::{sim.address}::{sim.socket_port}::SOCKET"):
            check_timeout(rm, rsrc, IDN)


def check_locks(rm, rsrc, library, idn):
    """Exclusive locks on `rsrc` between two sessions of this process, then
    against another process that dies holding one; the lock goes with it."""
    a = rm.open_resource(rsrc, read_termination="\n", write_termination="\n")
    b = rm.open_resource(rsrc, read_termination="\n", write_termination="\n")
    a.timeout = b.timeout = 3000
    assert a.lock_state == constants.AccessModes.no_lock
    a.lock_excl()
    assert a.lock_state == constants.AccessModes.exclusive_lock
    expect_error(Status.error_timeout, b.lock_excl, timeout=200)
    expect_error(Status.error_resource_locked, b.query, "*IDN?")
    assert a.query("*IDN?") == idn
    a.unlock()
    expect_error(Status.error_session_not_locked, a.unlock)
    b.lock_excl(timeout=0)
    b.unlock()
    b.close()

    with lock_holder(str(library), rsrc):
        expect_error(Status.error_timeout, a.lock_excl, timeout=0)
        expect_error(Status.error_timeout, a.lock_excl, timeout=300)
        expect_error(Status.error_resource_locked, a.query, "*IDN?")
    lock_when_freed(a, timeout=0)
    assert a.query("*IDN?") == idn
    a.unlock()
    a.close()


def case_locks(binary, rm, config):
    with Fwsim(binary, "127.0.0.83") as sim:
        IDN = idn_of(sim.address)
        check_locks(rm, sim.resource(), rm.visalib.library_path, IDN)

    # The instrument itself says another client holds its lock.
    with Fwsim(binary, "127.0.0.80", "--hold-lock") as sim:
        IDN = idn_of(sim.address)
        s = rm.open_resource(sim.resource())
        expect_error(Status.error_timeout, s.lock_excl, timeout=0)
        assert s.lock_state == constants.AccessModes.no_lock
        s.close()


def case_attributes_and_unsupported(binary, rm, config):
    with Fwsim(binary, "127.0.0.81") as sim:
        IDN = idn_of(sim.address)
        s = rm.open_resource(sim.resource())
        assert s.resource_name == sim.resource()
        assert s.interface_type == constants.InterfaceType.tcpip
        assert s.interface_number == 0
        assert s.resource_class == "INSTR"
        assert s.resource_manufacturer_name == "fwvisa"
        assert s.implementation_version == 0x00100000
        assert s.get_visa_attribute(constants.VI_ATTR_TCPIP_ADDR) == sim.address
        assert s.get_visa_attribute(constants.VI_ATTR_TCPIP_DEVICE_NAME) == "inst0"
        assert s.send_end is True
        s.send_end = False
        assert s.send_end is False
        # (pyvisa passes attribute values as 32 bits.)
        s.set_visa_attribute(constants.VI_ATTR_USER_DATA, 0x12345678)
        assert s.get_visa_attribute(constants.VI_ATTR_USER_DATA) == 0x12345678
        expect_error(Status.error_attribute_read_only, s.set_visa_attribute,
                     constants.VI_ATTR_INTF_TYPE, 4)
        expect_error(Status.error_nonsupported_attribute, s.get_visa_attribute,
                     constants.VI_ATTR_GPIB_PRIMARY_ADDR)
        expect_error(Status.error_nonsupported_attribute_state, s.set_visa_attribute,
                     constants.VI_ATTR_TERMCHAR_EN, 7)
        expect_error(Status.error_invalid_event, s.enable_event,
                     constants.EventType.service_request, constants.EventMechanism.queue)
        # The status byte over VXI-11: message available once a reply waits,
        # error available once the error queue holds an entry.
        assert s.read_stb() == 0
        s.write_raw(b"*IDN?\n")
        assert s.read_stb() & 0x10
        s.clear()  # device clear drops the waiting reply
        assert s.read_stb() & 0x10 == 0
        s.write_raw(b"NOT:A:COMMand\n")
        assert s.read_stb() & 0x04
        s.assert_trigger()
        expect_error(Status.error_invalid_protocol, s.visalib.assert_trigger, s.session, 5)
        s.close()  # also switches all events off, which must succeed

        raw = rm.open_resource(f"TCPIP0::{sim.address}::{sim.socket_port}::SOCKET")
        assert raw.get_visa_attribute(constants.VI_ATTR_TCPIP_PORT) == sim.socket_port
        assert raw.get_visa_attribute(constants.VI_ATTR_SUPPRESS_END_EN) == constants.VI_TRUE
        expect_error(Status.error_nonsupported_operation, raw.read_stb)
        expect_error(Status.error_nonsupported_operation, raw.assert_trigger)
        closed = raw.session
        raw.close()
        expect_error(Status.error_invalid_object, rm.visalib.read, closed, 1)


def main():
    binary = os.path.abspath(sys.argv[1])
    library = os.path.abspath(sys.argv[2])
    probe = Fwsim(binary, "127.0.0.80")
    with probe:
        if "portmapper not served" in probe.stderr():
            print("skipped: fwsim cannot bind port 111 (needs root)")
            return SKIP
    confdir = tempfile.mkdtemp(prefix="fwvisa-pyvisa-")
    os.environ["XDG_CONFIG_HOME"] = confdir
    os.makedirs(os.path.join(confdir, "firmware-update"))

    def config(text):
        with open(os.path.join(confdir, "firmware-update", "visa.conf"), "w") as f:
            f.write(text)

    # Reads that end at the count are asked for on purpose.
    warnings.simplefilter("ignore", errors.VisaIOWarning)
    config("serial = off\n")
    rm = pyvisa.ResourceManager(library)
    assert "fwvisa" in str(rm.visalib.library_path), rm.visalib.library_path
    cases = [case_list_parse_and_identify, case_raw_io_and_termination, case_timeouts,
             case_locks, case_attributes_and_unsupported, case_hislip_when_present]
    failed = 0
    try:
        for case in cases:
            try:
                case(binary, rm, config)
                print(f"ok   {case.__name__}")
            except Exception:
                failed += 1
                print(f"FAIL {case.__name__}")
                traceback.print_exc()
        rm.close()
    finally:
        shutil.rmtree(confdir, ignore_errors=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
