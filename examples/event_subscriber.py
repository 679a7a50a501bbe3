#!/usr/bin/env python3
"""Prints corvane's evaluation events as they arrive.

corvane connects its publish socket to ZmqEndpoint, so the subscriber is the
side that binds: start this first, on the address ZmqEndpoint names.

    python3 examples/event_subscriber.py tcp://127.0.0.1:5556 [topic]

Needs pyzmq (Debian: python3-zmq; FreeBSD: the devel/py-pyzmq port).
"""
import json
import sys

import zmq

endpoint = sys.argv[1] if len(sys.argv) > 1 else "tcp://127.0.0.1:5556"
topic = sys.argv[2] if len(sys.argv) > 2 else "dmarc.evaluation"

socket = zmq.Context().socket(zmq.SUB)
if "[" in endpoint:
    socket.setsockopt(zmq.IPV6, 1)
socket.bind(endpoint)
# Each event is one frame: the topic, one space, the JSON record.
socket.setsockopt_string(zmq.SUBSCRIBE, topic + " ")
try:
    while True:
        frame = socket.recv()
        _, _, record = frame.partition(b" ")
        event = json.loads(record)
        print(json.dumps(event, ensure_ascii=False), flush=True)
except KeyboardInterrupt:
    pass
