#!/usr/bin/python3
"""The Python client example (examples/python/qrx_client.py) against the real
server: ScanServer on a temporary prefix with ipc:// endpoints, the client
run as its own process, qrx-desk taking the records in scan mode 2, and the
submission schema (docs/card-submission.schema.json) checked against what
the client sends and against what the server accepts.

    test_python_client.py --scan-server PATH --desk PATH --source DIR [unittest options]

Runs on Debian's python3 with python3-zmq and python3-jsonschema.
"""

import argparse
import base64
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import unittest
import xml.etree.ElementTree as ElementTree

try:
    import jsonschema
    import zmq
except ImportError as error:
    sys.exit(f"test_python_client.py: {error}; install python3-zmq and python3-jsonschema "
             "(scripts/install-deps.sh python3-zmq python3-jsonschema)")

PATHS = None  # --scan-server, --desk, --source

GUID = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$")

# A card of the C kind whose texts are all GB2312 characters.
CHINESE_CARD = {
    "cardtype": "ID",
    "ScanCmd": "C",
    "name": "张三",
    "sex": "男",
    "card_no": "110101199001011234",
    "nation": "汉",
    "birthday": "19900101",
    "address": "北京市东城区",
    "number": "A001",
    "scantime": "2026-12-07 09:05:00",
}
# Every byte value, so that any change on the way shows.
CARD_IMAGE = b"\xff\xd8\xff\xe0" + bytes(range(256)) * 20 + b"\xff\xd9"
HEAD_IMAGE = b"\xff\xd8\xff\xe0" + bytes((i * 37) % 256 for i in range(1500)) + b"\xff\xd9"


def client_module():
    sys.dont_write_bytecode = True  # no __pycache__ left in the source tree
    sys.path.insert(0, os.path.join(PATHS.source, "examples", "python"))
    try:
        import qrx_client
    finally:
        sys.path.pop(0)
    return qrx_client


def load_schema():
    with open(os.path.join(PATHS.source, "docs", "card-submission.schema.json"),
              encoding="utf-8") as file:
        schema = json.load(file)
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def write_json(path, value):
    with open(path, "w", encoding="utf-8") as file:
        json.dump(value, file, ensure_ascii=False, indent=2)
    return path


def write_bytes(path, data):
    with open(path, "wb") as file:
        file.write(data)
    return path


def read_bytes(path):
    with open(path, "rb") as file:
        return file.read()


def exchange(endpoint, body, timeout_ms=10000, curve=None):
    """One request on a fresh REQ socket (a CURVE client with curve: server
    public, client public, client secret); the reply bytes, or None."""
    context = zmq.Context()
    socket = context.socket(zmq.REQ)
    socket.setsockopt(zmq.LINGER, 0)
    if curve is not None:
        socket.curve_serverkey, socket.curve_publickey, socket.curve_secretkey = curve
    try:
        socket.connect(endpoint)
        socket.send(body)
        return socket.recv() if socket.poll(timeout_ms, zmq.POLLIN) else None
    finally:
        socket.close(linger=0)
        context.term()


class ServerOnPrefix:
    """ScanServer on a prefix of its own, as installed: a copy of the binary
    with a Server.ini of ipc:// endpoints beside it, run in the prefix."""

    def __init__(self, folder):
        self.folder = folder
        self.prefix = os.path.join(folder, "prefix")
        self.reply_endpoint = "ipc://" + os.path.join(folder, "reply.ipc")
        self.router_endpoint = "ipc://" + os.path.join(folder, "router.ipc")
        self.process = None

    def start(self, settings=b"", curve=None, files=None):
        """settings are more lines of Server.ini; curve the keys that the
        check of a started server talks with; files more files (name: bytes)
        beside the binary."""
        bin_folder = os.path.join(self.folder, "bin")
        os.makedirs(bin_folder)
        for name, data in (files or {}).items():
            write_bytes(os.path.join(bin_folder, name), data)
        shutil.copy2(PATHS.scan_server, os.path.join(bin_folder, "ScanServer"))
        environment = dict(os.environ, QRX_PREFIX=self.prefix)
        subprocess.run(["/bin/bash", os.path.join(PATHS.source, "scripts", "prepare-prefix.sh")],
                       env=environment, check=True, stdout=subprocess.DEVNULL, timeout=30)
        write_bytes(os.path.join(bin_folder, "Server.ini"),
                    f"[Server]\r\nAddress={self.reply_endpoint}\r\n"
                    f"AddressEx={self.router_endpoint}\r\n".encode() + settings)
        self.output = open(os.path.join(self.folder, "server.out"), "wb")
        self.process = subprocess.Popen([os.path.join(bin_folder, "ScanServer")], cwd=self.prefix,
                                        env=environment, stdout=self.output,
                                        stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"ScanServer exited with {self.process.returncode}")
            if exchange(self.reply_endpoint, b'{"type":0}', timeout_ms=500,
                        curve=curve) is not None:
                return
        raise RuntimeError("ScanServer did not answer within 20 s")

    def stop(self):
        """Stops the server; its exit status if it had ended by itself, else None."""
        if self.process is None:
            return None
        ended_by_itself = self.process.poll()
        if ended_by_itself is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.output.close()
        return ended_by_itself

    def take(self, out, count=1, timeout_s=30):
        """qrx-desk take: the desktop side takes records in scan mode 2."""
        return subprocess.run([PATHS.desk, "--prefix", self.prefix, "--out", out, "take",
                               "--count", str(count), "--timeout", str(timeout_s)],
                              capture_output=True, timeout=timeout_s + 30)


class ServerTestCase(unittest.TestCase):
    """Each test gets a server of its own, and a temporary folder."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qrx-python-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        self.server = ServerOnPrefix(self.folder)
        self.addCleanup(self.stop_server)
        self.server.start()

    def stop_server(self):
        self.assertIsNone(self.server.stop(), "the server ended during the test")

    def path(self, name):
        return os.path.join(self.folder, name)

    def client(self, *args, endpoint=None, timeout_s=60):
        """Runs the client example; (exit status, stdout bytes, stderr text)."""
        command = [sys.executable, os.path.join(PATHS.source, "examples/python/qrx_client.py"),
                   "--endpoint", endpoint or self.server.reply_endpoint, *args]
        outcome = subprocess.run(command, capture_output=True, timeout=timeout_s)
        return outcome.returncode, outcome.stdout, outcome.stderr.decode("utf-8", "replace")

    @staticmethod
    def replies(stdout):
        """The JSON replies printed one after the other."""
        decoder, text, values, at = json.JSONDecoder(), stdout.decode("ascii"), [], 0
        while True:
            while at < len(text) and text[at].isspace():
                at += 1
            if at == len(text):
                return values
            value, at = decoder.raw_decode(text, at)
            values.append(value)


class ClientAgainstServerTest(ServerTestCase):
    def test_code_prints_the_issued_code(self):
        status, stdout, stderr = self.client("code")
        self.assertEqual(status, 0, stderr)
        [reply] = self.replies(stdout)
        self.assertEqual(reply["type"], 0)
        self.assertRegex(reply["code"], GUID)

    def test_chinese_card_reaches_the_gb2312_record_with_its_images(self):
        card = write_json(self.path("card.json"), CHINESE_CARD)
        card_image = write_bytes(self.path("card.jpg"), CARD_IMAGE)
        head_image = write_bytes(self.path("head.jpg"), HEAD_IMAGE)
        status, stdout, stderr = self.client("submit", "--card", card, "--card-image", card_image,
                                             "--head-image", head_image)
        self.assertEqual(status, 0, stderr)
        code_reply, submit_reply = self.replies(stdout)
        self.assertEqual(submit_reply, {"type": 1, "code": code_reply["code"], "result": 0,
                                        "msg": ""})

        taken = self.path("taken")
        desk = self.server.take(taken)
        self.assertEqual(desk.returncode, 0, desk.stdout + desk.stderr)
        [record] = glob.glob(os.path.join(taken, "ScanResult", "*.xml"))
        data = read_bytes(record)
        # expat cannot read gb2312 itself: decode strictly first. A record
        # written in any other encoding fails here or in the texts below.
        text = data.decode("gb2312")
        self.assertTrue(text.startswith('<?xml version="1.0" encoding="gb2312" ?>\r\n'))
        root = ElementTree.fromstring(text)
        self.assertEqual(root.tag, "SCAN_INFO")
        fields = {child.tag: child.text or "" for child in root}
        for member in ("name", "sex", "nation", "address", "card_no", "birthday", "number",
                       "scantime", "cardtype"):
            self.assertEqual(fields[member.upper()], CHINESE_CARD[member], member)

        stamp = record[:-len(".xml")]
        self.assertEqual(os.path.basename(fields["CARDIMAGE"]), os.path.basename(stamp) + ".jpg")
        self.assertEqual(read_bytes(stamp + ".jpg"), CARD_IMAGE)
        self.assertEqual(read_bytes(stamp + "_head.jpg"), HEAD_IMAGE)

    def test_bad_card_files_are_refused_in_one_line_before_anything_is_sent(self):
        not_gbk = write_json(self.path("emoji.json"), dict(CHINESE_CARD, name="张😀"))
        gbk_file = write_bytes(self.path("gbk.json"),
                               json.dumps(CHINESE_CARD, ensure_ascii=False).encode("gbk"))
        array_file = write_json(self.path("array.json"), [CHINESE_CARD])
        broken = write_bytes(self.path("broken.json"), b'{"name": "a",')
        cases = [
            (not_gbk, [not_gbk, '"name"', "no GBK form", "😀"]),
            (gbk_file, [gbk_file, "UTF-8"]),
            (array_file, [array_file, "JSON object"]),
            (broken, [broken, "JSON"]),
            (self.path("missing.json"), [self.path("missing.json"), "cannot read"]),
        ]
        log_file = os.path.join(self.server.prefix, "drive_c", "qrx", "sock.log")
        log_before = read_bytes(log_file)
        for card, words in cases:
            with self.subTest(card=os.path.basename(card)):
                status, stdout, stderr = self.client("submit", "--card", card)
                self.assertEqual(status, 3)
                self.assertEqual(stdout, b"", "no code asked for, nothing sent")
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                for word in words:
                    self.assertIn(word, stderr)
        self.assertEqual(read_bytes(log_file), log_before, "no request reached the server")

    def test_refusals_exit_1_with_the_server_reply(self):
        card = write_json(self.path("card.json"), CHINESE_CARD)
        no_cardtype = dict(CHINESE_CARD)
        del no_cardtype["cardtype"]
        cases = [
            ("cardtype is null", [write_json(self.path("no-cardtype.json"), no_cardtype)]),
            ("name is invalid",
             [write_json(self.path("control.json"), dict(CHINESE_CARD, name="张\u0001三"))]),
            # First attempt: a real refusal, not taken for an accepted resend.
            ("code is err", [card, "--code", "0439447e-9840-43ac-a7c1-7f933f21f882"]),
        ]
        for msg, args in cases:
            with self.subTest(msg=msg):
                status, stdout, stderr = self.client("submit", "--card", *args)
                self.assertEqual(status, 1, stderr)
                self.assertEqual(self.replies(stdout)[-1]["msg"], msg)
                self.assertIn(msg, stderr)
                self.assertNotIn("accepted", stderr)

    def test_resend_after_a_lost_reply_is_reported_as_accepted_and_queued_once(self):
        relay = LossyRelay(self.server.reply_endpoint,
                           "ipc://" + self.path("relay.ipc"), drop_first_submission_reply=True)
        relay.start()
        self.addCleanup(relay.stop)
        card = write_json(self.path("card.json"), CHINESE_CARD)
        status, stdout, stderr = self.client("submit", "--card", card, "--timeout", "2000",
                                             "--attempts", "3", endpoint=relay.endpoint)
        self.assertEqual(status, 0, stderr)
        self.assertEqual(self.replies(stdout)[-1]["msg"], "code is err")
        self.assertIn("accepted", stderr)
        self.assertIn("earlier attempt", stderr)
        kinds = [kind for kind, _ in relay.requests]
        first = kinds.index("submission")
        self.assertEqual(kinds[first:], ["submission", "submission"],
                         "resent once, and no fresh code asked for")
        self.assertEqual(relay.requests[first][1], relay.requests[first + 1][1],
                         "the same bytes resent")

        # The server queued the card once: one record comes out, and no second.
        taken = self.path("taken")
        desk = self.server.take(taken)
        self.assertEqual(desk.returncode, 0, desk.stdout + desk.stderr)
        desk = self.server.take(taken, timeout_s=3)
        self.assertEqual(desk.returncode, 2, desk.stdout + desk.stderr)  # timed out
        self.assertEqual(len(glob.glob(os.path.join(taken, "*", "*.xml"))), 1)

    def test_no_server_exits_2_after_every_attempt(self):
        nobody = "ipc://" + self.path("nobody.ipc")
        card = write_json(self.path("card.json"), CHINESE_CARD)
        for args in (["code"], ["submit", "--card", card]):
            with self.subTest(command=args[0]):
                began = time.monotonic()
                status, stdout, stderr = self.client("--timeout", "300", "--attempts", "3",
                                                     *args, endpoint=nobody)
                self.assertEqual(status, 2, stderr)
                self.assertGreaterEqual(time.monotonic() - began, 0.9, "three waits of 300 ms")
                self.assertEqual(stdout, b"")
                self.assertEqual(stderr.splitlines(),
                                 [f"qrx_client.py: no reply from {nobody} after 3 attempts of "
                                  "300 ms; is the scan server running?"])


class CurveTest(ServerTestCase):
    """The server with CURVE on and a client list: the example talks CURVE
    with --server-key and --client-key-file."""

    def setUp(self):
        self.folder = tempfile.mkdtemp(prefix="qrx-python-")
        self.addCleanup(shutil.rmtree, self.folder, ignore_errors=True)
        server_public, server_secret = zmq.curve_keypair()
        self.server_key = server_public.decode("ascii")
        client_public, client_secret = zmq.curve_keypair()
        self.listed = (server_public, client_public, client_secret)
        self.client_key_file = write_bytes(self.path("secret.key"), client_secret + b"\n")
        self.server = ServerOnPrefix(self.folder)
        self.addCleanup(self.stop_server)
        self.server.start(b"[Security]\r\nCurveSecretKeyFile=server.key\r\n"
                          b"CurveClientKeys=clients.txt\r\n", curve=self.listed,
                          files={"server.key": server_secret + b"\r\n",
                                 "clients.txt": b"# the desk\r\n" + client_public + b"\r\n"})

    def test_a_listed_key_is_served_and_others_are_not(self):
        curve = ["--server-key", self.server_key, "--client-key-file", self.client_key_file]
        status, stdout, stderr = self.client(*curve, "code")
        self.assertEqual(status, 0, stderr)
        self.assertRegex(self.replies(stdout)[0]["code"], GUID)

        card = write_json(self.path("card.json"), CHINESE_CARD)
        status, stdout, stderr = self.client("submit", *curve, "--card", card)
        self.assertEqual(status, 0, stderr)
        code_reply, submit_reply = self.replies(stdout)
        self.assertEqual(submit_reply, {"type": 1, "code": code_reply["code"], "result": 0,
                                        "msg": ""})

        quick = ["--timeout", "500", "--attempts", "1"]
        for args in ([], ["--server-key", self.server_key]):  # plain; a throwaway key pair
            status, _, stderr = self.client(*quick, *args, "code")
            self.assertEqual(status, 2, stderr)
        for key in ("short", "-short"):  # a Z85 key may start with '-'
            status, _, stderr = self.client("--server-key", key, "code")
            self.assertEqual(status, 3, stderr)
            self.assertIn("--server-key wants the server's public key in Z85", stderr)


class LossyRelay(threading.Thread):
    """Stands between the client and the server, like a network that loses
    a reply: it passes each request on to the server and its reply back,
    but drops the server's reply to the first submission."""

    def __init__(self, server_endpoint, endpoint, drop_first_submission_reply):
        super().__init__(daemon=True)
        self.server_endpoint = server_endpoint
        self.endpoint = endpoint
        self.drop = drop_first_submission_reply
        self.requests = []  # ("code" or "submission", the request's bytes), in order
        self.stopping = threading.Event()
        self.context = zmq.Context()
        self.front = self.context.socket(zmq.ROUTER)
        self.front.setsockopt(zmq.LINGER, 0)
        self.front.bind(endpoint)

    def run(self):
        while not self.stopping.is_set():
            if not self.front.poll(100, zmq.POLLIN):
                continue
            peer, empty, body = self.front.recv_multipart()
            request = json.loads(body.decode("gbk", errors="replace"))
            submission = request.get("type", 0) == 1
            self.requests.append(("submission" if submission else "code", body))
            reply = exchange(self.server_endpoint, body)
            if reply is None:
                continue
            if submission and self.drop:
                self.drop = False  # lost on the way back
                continue
            self.front.send_multipart([peer, empty, reply])

    def stop(self):
        self.stopping.set()
        self.join(10)
        self.front.close(linger=0)
        self.context.term()


class WireAndSchemaTest(unittest.TestCase):
    """What the client puts on the wire, and the schema of a submission."""

    @classmethod
    def setUpClass(cls):
        cls.validator = load_schema()
        cls.qrx_client = client_module()

    def decoded(self, wire):
        return json.loads(wire.decode("gbk"))

    def test_the_wire_bytes_are_gbk_json_that_the_schema_accepts(self):
        wire = self.qrx_client.build_submission(CHINESE_CARD, "c0de", CARD_IMAGE, HEAD_IMAGE)
        self.assertTrue("张三".encode("gbk") in wire, "the name in GBK")
        self.assertFalse("张三".encode("utf-8") in wire, "no UTF-8 name")
        self.assertNotIn(b"\\u", wire, "texts as GBK, not as escapes")
        submission = self.decoded(wire)
        self.validator.validate(submission)
        self.assertEqual(submission["type"], 1)
        self.assertEqual(submission["code"], "c0de")
        for member, image in (("cardiamgedata", CARD_IMAGE), ("headiamgedata", HEAD_IMAGE)):
            self.assertNotIn("\n", submission[member])
            self.assertEqual(base64.b64decode(submission[member], validate=True), image)
        for member, value in CHINESE_CARD.items():
            self.assertEqual(submission[member], value)

    def test_a_text_without_a_gbk_form_names_its_member(self):
        with self.assertRaises(self.qrx_client.NoGbkForm) as raised:
            self.qrx_client.build_submission(dict(CHINESE_CARD, address="北京\u0e01"), "c")
        self.assertEqual(raised.exception.member, "address")
        self.assertEqual(raised.exception.character, "\u0e01")

    def test_the_schema_refuses_broken_submissions(self):
        good = self.decoded(self.qrx_client.build_submission(CHINESE_CARD, "c", CARD_IMAGE,
                                                             HEAD_IMAGE))
        image = good["cardiamgedata"]
        no_cardtype = dict(good)
        del no_cardtype["cardtype"]
        broken = {
            "missing cardtype": no_cardtype,
            "cardtype null": dict(good, cardtype=None),
            "line break inside the image": dict(good, cardiamgedata=image[:8] + "\n" + image[8:]),
            "line break after the image": dict(good, headiamgedata=image + "\n"),
            "control byte in name": dict(good, name="张\u0001三"),
            "name an object": dict(good, name={"text": "张三"}),
            "type 0": dict(good, type=0),
            "code a number": dict(good, code=123),
        }
        for what, submission in broken.items():
            with self.subTest(what):
                self.assertFalse(self.validator.is_valid(submission))


class SchemaMatchesServerTest(ServerTestCase):
    """The schema's verdict is the server's: each submission is sent with a
    fresh code, and the schema accepts exactly those the server accepts."""

    def test_schema_and_server_agree(self):
        good_c = dict(CHINESE_CARD, cardiamgedata="QUJD", headiamgedata="")
        good_f = {"cardtype": "PASSPORT", "ScanCmd": "F", "chinese_name": "李四",
                  "english_name": "DOE JANE", "countrycode": "USA"}
        no_cardtype = dict(good_c)
        del no_cardtype["cardtype"]
        cases = {
            "C card": good_c,
            "other card": good_f,
            "no cardtype": no_cardtype,
            "cardtype null": dict(good_c, cardtype=None),
            "cardtype a number": dict(good_c, cardtype=5),
            "cardtype an array": dict(good_c, cardtype=["ID"]),
            "cardtype with a control byte": dict(good_c, cardtype="I\u001fD"),
            "ScanCmd an object": dict(good_c, ScanCmd={"C": 1}),
            "name with tab and line breaks": dict(good_c, name="张\t三\r\n"),
            "name with a control byte": dict(good_c, name="张\u0000三"),
            "name a number": dict(good_c, name=0),
            "name an array": dict(good_c, name=["张三"]),
            "C: chinese_name unread beside a name": dict(good_c, chinese_name="\u0002"),
            "C: chinese_name read without a name": dict(good_c, name="", chinese_name="\u0002"),
            "C: english_name read with name null": dict(good_c, name=None, english_name=[1]),
            "C: qfjg unread without txz": dict(good_c, qfjg="\u0007"),
            "C: qfjg unread with txz a number": dict(good_c, txz=1, qfjg="\u0007"),
            "C: qfjg read with txz a text": dict(good_c, txz="", qfjg="\u0007"),
            "C: countrycode unread": dict(good_c, countrycode={"a": 1}),
            "C: nation an object": dict(good_c, nation={"a": 1}),
            "other: name unread": dict(good_f, name="\u0001"),
            "other: countrycode with a control byte": dict(good_f, countrycode="U\u000bSA"),
            "other: nation unread": dict(good_f, nation=[1]),
            "unknown member an array": dict(good_c, extra=[1, 2]),
            "image padded mid-text": dict(good_c, cardiamgedata="QQ==QkM="),
            "image empty": dict(good_c, cardiamgedata=""),
            "image null": dict(good_c, cardiamgedata=None),
            "image two characters": dict(good_c, cardiamgedata="QQ"),
            "image with a final line break": dict(good_c, cardiamgedata="QUJD\n"),
            "image with a space": dict(good_c, headiamgedata="QUJD QUJD"),
            "image url-safe": dict(good_c, headiamgedata="-_-_"),
            "image with a data: prefix": dict(good_c, headiamgedata="data:image/jpeg;base64,QUJD"),
            "image '=' first": dict(good_c, headiamgedata="=QUJ"),
            "other: image checked too": dict(good_f, cardiamgedata="QUJD\r\n"),
        }
        validator = load_schema()
        for what, card in cases.items():
            with self.subTest(what):
                code_reply = json.loads(exchange(self.server.reply_endpoint, b'{"type":0}'))
                submission = dict(card, type=1, code=code_reply["code"])
                body = json.dumps(submission, ensure_ascii=False).encode("gbk")
                reply = json.loads(exchange(self.server.reply_endpoint, body))
                self.assertEqual(validator.is_valid(submission), reply["result"] == 0,
                                 f"server: {reply['msg']!r}")


def main():
    global PATHS
    parser = argparse.ArgumentParser()
    parser.add_argument("--scan-server", required=True)
    parser.add_argument("--desk", required=True)
    parser.add_argument("--source", required=True)
    PATHS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0], *rest], verbosity=2)


if __name__ == "__main__":
    main()
