#!/usr/bin/python3
"""A client of the card scan server, in Python with pyzmq.

    qrx_client.py code
    qrx_client.py submit --card card.json [--card-image card.jpg]
                         [--head-image head.jpg] [--code CODE]
    qrx_client.py --server-key KEY [--client-key-file secret.key] code

With --server-key (the server's public key in Z85, as its log gives it) the
client talks CURVE: encrypted, and admitted by a server with a client list
when the public key of --client-key-file's secret key is on that list.
Without --client-key-file a throwaway key pair is made, which only a server
without a client list admits.

"code" asks the server for a one-time code; "submit" asks for one (unless
--code gives it) and submits the card with it. Every reply is printed as it
came. Exit status: 0 code issued or card accepted, 1 refused by the server,
2 no reply after all attempts, 3 bad options or files.

The card file is a JSON object in UTF-8, as text editors write it. The
server takes card texts as GBK bytes, so the request is encoded as GBK
before it is sent; a text with a character that GBK cannot hold is refused
here, before anything is sent.

Each request waits --timeout milliseconds for its reply. When none comes,
the REQ socket is closed (linger 0), a new one is connected and the same
request bytes are sent again, up to --attempts attempts in all. The server
spends a code only when it accepts a card, so a resent submission answered
"code is err" means an earlier attempt was accepted and only its reply was
lost: the card is queued, and it is not submitted again.
"""

import argparse
import base64
import json
import sys

import zmq
from zmq.utils import z85

PROG = "qrx_client.py"

EXIT_OK = 0
EXIT_REFUSED = 1
EXIT_NO_REPLY = 2
EXIT_BAD_INPUT = 3


class BadInput(Exception):
    """A bad option or file: one line for stderr, exit status 3."""


class NoGbkForm(ValueError):
    """A card member holds a character that GBK cannot encode."""

    def __init__(self, member, character):
        super().__init__(f'"{member}" holds a character with no GBK form: {character!r}')
        self.member = member
        self.character = character


class NoReply(Exception):
    """No reply came after every attempt."""


def check_gbk(card):
    """Raises NoGbkForm for the first member whose name or value GBK cannot hold."""
    for member, value in card.items():
        for text in (member, json.dumps(value, ensure_ascii=False)):
            try:
                text.encode("gbk")
            except UnicodeEncodeError as error:
                raise NoGbkForm(member, error.object[error.start]) from None


def build_submission(card, code, card_image=None, head_image=None):
    """The bytes of a card submission (type 1), as they go on the wire.

    card is the card's members (a dict); card_image and head_image are the
    images' bytes, or None to leave the card's own members. Texts are sent
    as GBK; images as standard base64 in one piece.
    """
    request = dict(card)
    for member, image in (("cardiamgedata", card_image), ("headiamgedata", head_image)):
        if image is not None:
            request[member] = base64.b64encode(image).decode("ascii")
    request["type"] = 1
    request["code"] = code
    check_gbk(request)
    return json.dumps(request, ensure_ascii=False).encode("gbk")


CODE_REQUEST = json.dumps({"type": 0}).encode("ascii")


def parse_reply(reply):
    """The reply as a JSON value, or None when it is not JSON (as "null" is not a dict)."""
    try:
        return json.loads(reply.decode("gbk", errors="replace"))
    except ValueError:
        return None


def read_secret_key(path):
    """The Z85 secret key (bytes) of a key file as qrx-client keygen writes it."""
    key = read_bytes(path).strip()
    try:
        z85.decode(key)
    except (ValueError, KeyError, IndexError):
        key = b""
    if len(key) != 40:
        raise BadInput(f"{path}: does not hold one Z85 secret key of 40 characters")
    return key


def curve_keys(server_key, client_key_file):
    """(server public, client public, client secret) in Z85 bytes, or None
    for plain text."""
    if server_key is None:
        return None
    if not zmq.has("curve"):
        raise BadInput("this libzmq has no CURVE security")
    server = server_key.encode("ascii", errors="replace")
    try:
        valid = len(server) == 40 and len(z85.decode(server)) == 32
    except (ValueError, KeyError, IndexError):
        valid = False
    if not valid:
        raise BadInput(f"--server-key wants the server's public key in Z85 (40 characters), "
                       f"not {server_key}")
    if client_key_file is None:
        public, secret = zmq.curve_keypair()
    else:
        secret = read_secret_key(client_key_file)
        public = zmq.curve_public(secret)
    return server, public, secret


class Connection:
    """A REQ socket to the server that resends a request on a new socket
    when no reply comes in time. With curve (server public, client public,
    client secret, in Z85) the socket is a CURVE client."""

    def __init__(self, endpoint, timeout_ms, attempts, curve=None):
        self.endpoint = endpoint
        self.timeout_ms = timeout_ms
        self.attempts = attempts
        self.curve = curve
        self.context = zmq.Context()
        self.socket = None

    def _open(self):
        socket = self.context.socket(zmq.REQ)
        socket.setsockopt(zmq.LINGER, 0)
        socket.setsockopt(zmq.SNDTIMEO, self.timeout_ms)
        if self.curve is not None:
            socket.curve_serverkey, socket.curve_publickey, socket.curve_secretkey = self.curve
        try:
            socket.connect(self.endpoint)
        except zmq.ZMQError as error:
            socket.close(linger=0)
            raise BadInput(f"cannot use endpoint {self.endpoint}: {error}") from None
        return socket

    def request(self, body):
        """Sends body; returns (reply bytes, number of the attempt answered)."""
        for attempt in range(1, self.attempts + 1):
            if self.socket is None:
                self.socket = self._open()
            try:
                self.socket.send(body)
                if self.socket.poll(self.timeout_ms, zmq.POLLIN):
                    return self.socket.recv(), attempt
            except zmq.Again:
                pass  # could not even hand the request over in time
            # A REQ socket that got no reply cannot send again: start afresh.
            self.socket.close(linger=0)
            self.socket = None
        raise NoReply()

    def close(self):
        if self.socket is not None:
            self.socket.close(linger=0)
        self.context.term()


def print_reply(reply):
    sys.stdout.buffer.write(reply)
    sys.stdout.buffer.flush()


def ask_for_code(connection):
    """The code the server issued (its reply printed), or None."""
    reply, _ = connection.request(CODE_REQUEST)
    print_reply(reply)
    parsed = parse_reply(reply)
    code = parsed.get("code") if isinstance(parsed, dict) else None
    return code if isinstance(code, str) and code else None


def read_bytes(path):
    try:
        with open(path, "rb") as file:
            return file.read()
    except OSError as error:
        raise BadInput(f"{path}: cannot read: {error.strerror}") from None


def load_card(path):
    """The card file's JSON object; BadInput names the file when it is not one."""
    data = read_bytes(path)
    try:
        text = data.decode("utf-8-sig")  # a leading byte-order mark is allowed
    except UnicodeDecodeError as error:
        raise BadInput(f"{path}: not UTF-8 text (byte 0x{data[error.start]:02x} "
                       f"at offset {error.start})") from None
    try:
        card = json.loads(text)
    except ValueError as error:
        raise BadInput(f"{path}: not valid JSON: {error}") from None
    if not isinstance(card, dict):
        raise BadInput(f"{path}: does not hold a JSON object")
    try:
        check_gbk(card)
    except NoGbkForm as error:
        raise BadInput(f"{path}: {error}") from None
    return card


def run_code(connection):
    return EXIT_OK if ask_for_code(connection) else EXIT_REFUSED


def run_submit(connection, options):
    # Bad files are refused before anything is sent.
    card = load_card(options.card)
    card_image = read_bytes(options.card_image) if options.card_image else None
    head_image = read_bytes(options.head_image) if options.head_image else None
    code = options.code or ask_for_code(connection)
    if not code:
        print(f"{PROG}: the server issued no code", file=sys.stderr)
        return EXIT_REFUSED
    body = build_submission(card, code, card_image, head_image)

    reply, attempt = connection.request(body)
    print_reply(reply)
    parsed = parse_reply(reply)
    result = parsed.get("result") if isinstance(parsed, dict) else None
    msg = parsed.get("msg") if isinstance(parsed, dict) else None
    if result == 0:
        return EXIT_OK
    if msg == "code is err" and attempt > 1:
        # Only an accepted card spends a code: an earlier attempt got through.
        print(f"{PROG}: the card was accepted: attempt {attempt} was answered \"code is err\", "
              "so an earlier attempt reached the server and spent the code, and only its "
              "reply was lost; not submitted again", file=sys.stderr)
        return EXIT_OK
    if msg == "cache is full":
        print(f"{PROG}: refused: cache is full (the desktop side has not taken records for a "
              f"while); the code stays valid: wait and send the same card again with "
              f"--code {code}", file=sys.stderr)
    else:
        print(f"{PROG}: refused: {msg if isinstance(msg, str) else 'no result in the reply'}",
              file=sys.stderr)
    return EXIT_REFUSED


class OptionParser(argparse.ArgumentParser):
    def error(self, message):
        self.print_usage(sys.stderr)
        print(f"{PROG}: {message}", file=sys.stderr)
        sys.exit(EXIT_BAD_INPUT)


def positive(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if value <= 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not above 0")
    return value


def add_connection_options(parser, defaults):
    """--endpoint, --timeout and --attempts, before or after the command."""
    def default(value):
        return value if defaults else argparse.SUPPRESS
    parser.add_argument("--endpoint", default=default("tcp://127.0.0.1:7106"),
                        help="the server's reply endpoint (default tcp://127.0.0.1:7106)")
    parser.add_argument("--timeout", type=positive, default=default(5000), metavar="MS",
                        help="how long each attempt waits for the reply (default 5000)")
    parser.add_argument("--attempts", type=positive, default=default(3), metavar="N",
                        help="attempts in all for each request (default 3)")
    parser.add_argument("--server-key", default=default(None), metavar="KEY",
                        help="talk CURVE to a server whose public key (Z85) is KEY")
    parser.add_argument("--client-key-file", default=default(None), metavar="FILE",
                        help="the secret key to talk CURVE with, as qrx-client keygen writes "
                             "it (default: a throwaway key pair)")


def key_values_joined(argv):
    """A Z85 key may start with '-', which argparse takes for an option: "--server-key KEY"
    becomes "--server-key=KEY", which argparse reads as a value whatever it starts with."""
    joined, args = [], iter(argv)
    for arg in args:
        if arg == "--server-key":
            arg = "--server-key=" + next(args, "")
        joined.append(arg)
    return joined


def parse_options(argv):
    parser = OptionParser(prog=PROG, description="A client of the card scan server.",
                          epilog="exit status: 0 code issued or card accepted, 1 refused, "
                                 "2 no reply after all attempts, 3 bad options or files")
    add_connection_options(parser, defaults=True)
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    code = commands.add_parser("code", help="ask for a one-time code and print the reply")
    add_connection_options(code, defaults=False)
    submit = commands.add_parser("submit", help="ask for a code (unless --code), then submit")
    add_connection_options(submit, defaults=False)
    submit.add_argument("--card", required=True, metavar="FILE.json",
                        help="the card's members: a JSON object in UTF-8")
    submit.add_argument("--card-image", metavar="FILE.jpg", help="the card image")
    submit.add_argument("--head-image", metavar="FILE.jpg", help="the head image")
    submit.add_argument("--code", help="a code already issued, instead of asking for one")
    return parser.parse_args(key_values_joined(argv))


def main(argv=None):
    options = parse_options(sys.argv[1:] if argv is None else argv)
    try:
        if options.client_key_file is not None and options.server_key is None:
            raise BadInput("--client-key-file needs --server-key")
        curve = curve_keys(options.server_key, options.client_key_file)
    except BadInput as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    connection = Connection(options.endpoint, options.timeout, options.attempts, curve)
    try:
        if options.command == "code":
            return run_code(connection)
        return run_submit(connection, options)
    except BadInput as error:
        print(f"{PROG}: {error}", file=sys.stderr)
        return EXIT_BAD_INPUT
    except NoReply:
        attempts = f"{options.attempts} attempt{'s' if options.attempts != 1 else ''}"
        print(f"{PROG}: no reply from {options.endpoint} after {attempts} of "
              f"{options.timeout} ms; is the scan server running?", file=sys.stderr)
        return EXIT_NO_REPLY
    finally:
        connection.close()


if __name__ == "__main__":
    sys.exit(main())
