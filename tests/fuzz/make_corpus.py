#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: python3 tests/fuzz/make_corpus.py.

Records as the targets read them: a flag byte, a length (1 byte for link,
2 bytes big-endian for the others), the bytes. Bodies are encoded by protoc
from text format."""
import os, struct, subprocess

root = os.path.dirname(os.path.abspath(__file__))
proto = os.path.join(root, "..", "..", "proto")


def enc(msg_type, text, schema):
    return subprocess.run(["protoc", "-I", proto, "--encode=" + msg_type, os.path.join(proto, schema)],
                          input=text.encode(), stdout=subprocess.PIPE, check=True).stdout


def sorter(text):
    return enc("mq.Sorter2MailQuarantineMessage", text, "mail_quarantine_sorter_ipc.proto")


def client(text):
    return enc("mq.Client2MailQuarantineMessage", text, "mail_quarantine_client_ipc.proto")


def overseer(text):
    return enc("ov.Overseer2MailQuarantineMessage", text, "overseer_mail_quarantine_ipc.proto")


def wide(flags, body):
    return bytes([flags]) + struct.pack(">H", len(body)) + body


def narrow(flags, data):
    return bytes([flags, len(data)]) + data


def frame(body):
    return struct.pack("=I", len(body)) + body


def write(target, name, data):
    os.makedirs(os.path.join(root, "corpus", target), exist_ok=True)
    with open(os.path.join(root, "corpus", target, name), "wb") as f:
        f.write(data)


hello = frame(b"hello")
write("link", "split_with_fd", narrow(0, hello[:4]) + narrow(0, hello[4:7]) + narrow(1, hello[7:]))
write("link", "two_frames_one_chunk", narrow(1, frame(b"first") + frame(b"second")))
write("link", "fd_with_length", narrow(1, hello[:2]) + narrow(0, hello[2:]))
write("link", "zero_length", narrow(0, frame(b"")))
write("link", "destroy_in_message", narrow(0, frame(b"\xffbye") + frame(b"never")))
write("link", "too_long", narrow(0, struct.pack("=I", 64 * 1024 * 1024 + 1)))

entry = ('entry { smtp_connect { helo: "mx" address: "192.0.2.1" port: 25 proto: "ESMTP" } '
         'smtp_sender { sender: "a@example.org" esmtp: "SIZE=64" } '
         'smtp_recipient { recipient: "b@example.org" } session_id: "s1" message_size: 64 received_ts: 1 }')
put = sorter("tag: PUT_ENTRY_REQUEST serial: 1 status: SMTP_FRESH " + entry)
update = sorter('tag: UPDATE_ENTRY_REQUEST serial: 2 entry_id: 1 entry_update { attempts: 1 status: SMTP_ACCEPTED '
                'message_size: 64 mime_part { path: "1" kavren_sample { id: "x" analysis { params: "p" id: "i" } } } }')
write("protocol", "sorter_session", b"".join([
    wide(0, sorter("tag: SUBSCRIBE_TO_QUEUE_CHANGES")), wide(2, put), wide(2, put),
    wide(0, sorter("tag: GET_ENTRY_REQUEST serial: 3 entry_id: 1")),
    wide(2, update),
    wide(0, sorter("tag: GET_ENTRY_IDS_REQUEST serial: 4 status: SMTP_ACCEPTED limit: 10")),
    wide(1, client("tag: FLUSH_QUEUE_REQUEST serial: 1 status: SMTP_ACCEPTED")),
    wide(1, client("tag: GET_QUEUE_CHUNK_REQUEST serial: 2 status: SMTP_ACCEPTED")),
    wide(1, client("tag: GET_QUEUE_STAT_REQUEST serial: 3")),
    wide(0, sorter("tag: REMOVE_ENTRY_REQUEST serial: 5 entry_id: 2")),
    wide(1, client("tag: CHECK_HEALTH_REQUEST serial: 4 fix: true"))]))
write("protocol", "put_without_file", wide(0, put) + wide(1, client("tag: GET_QUEUE_STAT_REQUEST serial: 1")))
write("protocol", "client_missing_status", wide(1, client("tag: FLUSH_QUEUE_REQUEST serial: 1")))

config = ('config { log_level: LOG_LEVEL_DEBUG actual_log { type: FILE path: "log" } spool_dir: "spool" '
          'run_as_user { name: "root" } sorter_socket_path: "sorter" client_socket_path: "client" }')
write("config", "two_revisions",
      wide(1, overseer("tag: GET_CONFIG_RESPONSE config_revision: 1 " + config)) +
      wide(1, overseer("tag: GET_CONFIG_RESPONSE config_revision: 2 " + config.replace('"client"', '"client2"'))))
write("config", "spool_changed",
      wide(1, overseer("tag: GET_CONFIG_RESPONSE config_revision: 1 " + config)) +
      wide(1, overseer("tag: GET_CONFIG_RESPONSE config_revision: 2 " + config.replace('"spool"', '"other"'))))
write("config", "unsolicited", wide(0, overseer("tag: GET_CONFIG_RESPONSE config_revision: 1 " + config)))
write("config", "no_revision", wide(1, overseer("tag: GET_CONFIG_RESPONSE " + config)))
write("config", "stderr_uid", wide(1, overseer(
    'tag: GET_CONFIG_RESPONSE config_revision: 7 config { log_level: LOG_LEVEL_ERROR '
    'actual_log { type: STDERR } spool_dir: "s" run_as_user { uid: 65534 } }')))
