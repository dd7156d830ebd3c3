#!/usr/bin/python3
"""A Modbus RTU server made of pymodbus (its framer, request decoder, data store and device
identification) on a pseudo-terminal of its own: prints the path of the terminal end for a
master to open, then answers requests to its address until killed.

Coil i and discrete input i are on when i % 3 == 0; holding and input register i hold i + 1000.
The device identification names vendor, product code, revision and two more objects.

On a line shared with other devices it hears their answers and frames of other protocols as
well. pymodbus's framer alone would drop all it holds when a frame fails its check, and take
what follows for the start of a frame, losing the next request. Here the start of a frame is
hunted as a device on a shared line must: a frame that fails its check gives up its first byte
only, and when the line falls silent nothing held waits on for more bytes.

Given a line format (8E1, 8N2, ...), it answers only while its terminal has that format's stop
bits, as a device with that format hears nothing else intact (a pseudo-terminal keeps no parity
or data bits to check). Given `tcp`, it serves Modbus TCP
on the loopback instead (pymodbus's MBAP framer) and prints modbus-tcp://127.0.0.1:PORT.

Usage: pymodbus_rtu_peer.py [address [line format | tcp]]
"""
import os
import select
import socket
import sys
import termios
import tty

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer
from pymodbus.framer.socket_framer import ModbusSocketFramer

ADDRESS = int(sys.argv[1]) if len(sys.argv) > 1 else 1
MODE = sys.argv[2] if len(sys.argv) > 2 else ""
SIZE = 400
# A pause this long between bytes ends whatever is held (longer than a character at any speed
# such a line runs, shorter than a master's time-out).
SILENCE_S = 0.01

bits = [i % 3 == 0 for i in range(SIZE)]
registers = [i + 1000 for i in range(SIZE)]
# pymodbus's sequential blocks count from 1 internally when addressed through the context
# (zero_mode off): address 0 of a request is the block's value 1.
store = ModbusSlaveContext(
    di=ModbusSequentialDataBlock(0, [False] + bits),
    co=ModbusSequentialDataBlock(0, [False] + bits),
    hr=ModbusSequentialDataBlock(0, [0] + registers),
    ir=ModbusSequentialDataBlock(0, [0] + registers),
)
context = ModbusServerContext(slaves={ADDRESS: store}, single=False)

identity = ModbusDeviceIdentification(
    info_name={
        "VendorName": "Pymodbus",
        "ProductCode": "PM",
        "MajorMinorRevision": "3.0.0",
        "VendorUrl": "https://github.com/pymodbus-dev/pymodbus/",
        "ProductName": "Pymodbus Server",
    }
)
ModbusControlBlock().Identity.update(identity)


def serve_tcp():
    """Modbus TCP on the loopback: each connection with its own MBAP framer."""
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", 0))
    listener.listen(4)
    print("modbus-tcp://127.0.0.1:%d" % listener.getsockname()[1], flush=True)
    sys.stdout = open(os.devnull, "w")
    framers = {}
    while True:
        ready = select.select([listener] + list(framers), [], [])[0]
        for sock in ready:
            if sock is listener:
                connection, _ = listener.accept()
                framers[connection] = ModbusSocketFramer(ServerDecoder())
                continue
            data = sock.recv(512)
            if not data:
                del framers[sock]
                sock.close()
                continue

            def reply(request, sock=sock):
                response = request.execute(context[request.unit_id])
                response.transaction_id = request.transaction_id
                response.unit_id = request.unit_id
                sock.sendall(framers[sock].buildPacket(response))

            framers[sock].processIncomingPacket(data, reply, unit=[ADDRESS], single=False)


if MODE == "tcp":
    serve_tcp()


master, slave = os.openpty()
path = os.ttyname(slave)
tty.setraw(slave, termios.TCSANOW)
# The terminal end stays open here too: the line stays up between the master's sessions.
print(path, flush=True)
sys.stdout = open(os.devnull, "w")

framer = ModbusRtuFramer(ServerDecoder())


def format_heard():
    """Whether the terminal is at the line format asked for (any without one). A pseudo-terminal
    keeps only the stop bits of it: Linux sets every pty to 8 data bits without parity."""
    if not MODE:
        return True
    return MODE[2:] == ("2" if termios.tcgetattr(slave)[2] & termios.CSTOPB else "1")


def answer(request):
    response = request.execute(context[request.unit_id])
    response.transaction_id = request.transaction_id
    response.unit_id = request.unit_id
    os.write(master, framer.buildPacket(response))


def take_frames(silent):
    """Answers every whole frame held for this device, hunting for frame starts."""
    while framer._buffer:
        try:
            ready = framer.isFrameReady()
            good = ready and framer.checkFrame()
        except Exception:  # a function code it cannot frame: no frame starts here
            ready, good = True, False
        if good:
            if framer._header["uid"] == ADDRESS and format_heard():
                try:
                    framer._process(answer)
                    continue
                except Exception:  # a frame it cannot decode: skipped whole
                    pass
            framer.advanceFrame()
            continue
        if not ready and not silent:
            return  # the frame goes on
        framer._buffer = framer._buffer[1:]
        framer._header = {"uid": 0x00, "len": 0, "crc": b"\x00\x00"}


while True:
    silent = not select.select([master], [], [], SILENCE_S if framer._buffer else None)[0]
    if not silent:
        data = os.read(master, 512)
        if not data:
            break
        framer.addToFrame(data)
    take_frames(silent)
