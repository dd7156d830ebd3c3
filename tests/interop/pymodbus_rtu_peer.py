#!/usr/bin/python3
"""A Modbus RTU server made of pymodbus (its framer, request decoder, data store and device
identification) on a pseudo-terminal of its own: prints the path of the terminal end for a
master to open, then answers requests to its address until killed.

Coil i and discrete input i are on when i % 3 == 0; holding and input register i hold i + 1000.
The device identification names vendor, product code, revision and two more objects.

Usage: pymodbus_rtu_peer.py [address]
"""
import os
import sys
import termios
import tty

from pymodbus.datastore import ModbusSequentialDataBlock, ModbusServerContext, ModbusSlaveContext
from pymodbus.device import ModbusControlBlock, ModbusDeviceIdentification
from pymodbus.factory import ServerDecoder
from pymodbus.framer.rtu_framer import ModbusRtuFramer

ADDRESS = int(sys.argv[1]) if len(sys.argv) > 1 else 1
SIZE = 400

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

master, slave = os.openpty()
path = os.ttyname(slave)
tty.setraw(slave, termios.TCSANOW)
# The terminal end stays open here too: the line stays up between the master's sessions.
print(path, flush=True)
sys.stdout = open(os.devnull, "w")

framer = ModbusRtuFramer(ServerDecoder())


def answer(request):
    response = request.execute(context[request.unit_id])
    response.transaction_id = request.transaction_id
    response.unit_id = request.unit_id
    os.write(master, framer.buildPacket(response))


while True:
    data = os.read(master, 512)
    if not data:
        break
    framer.processIncomingPacket(data, answer, unit=[ADDRESS], single=False)
