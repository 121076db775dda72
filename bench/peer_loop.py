#!/usr/bin/env python3
"""A plain serial master to compare reader-service with: pyserial asks each instrument of a bus
in turn and reads its answer (the line's time-outs: 300 ms for the first byte, 24 ms between
bytes, the read ending at the CR), and paho-mqtt publishes the answer's bytes. It does less than
the service: no parsing, no files. Prints the number of exchanges and the CPU seconds the process
used for them (all its threads) when its time is up.

Usage: peer_loop.py DEVICE BROKER-PORT SECONDS [ADDRESSES]"""
import sys
import time

import paho.mqtt.client as mqtt
import serial

device, broker_port, seconds = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])
addresses = [int(a) for a in (sys.argv[4] if len(sys.argv) > 4 else "1,2,3").split(",")]

line = serial.Serial(device, 19200, timeout=0.3, inter_byte_timeout=0.024)
client = mqtt.Client()
client.connect("127.0.0.1", broker_port)
client.loop_start()
exchanges = 0
cpu0 = time.process_time()
end = time.monotonic() + seconds
while time.monotonic() < end:
    for address in addresses:
        line.reset_input_buffer()
        line.write(b"\xff\xff\xff\xff:%d;423;\r" % address)
        answer = line.read_until(b"\r", 200)
        client.publish("peer/%d/state" % address, answer, qos=1)
        exchanges += 1
cpu = time.process_time() - cpu0
client.loop_stop()
print(exchanges, cpu)
