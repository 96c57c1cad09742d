#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

The binary seeds follow the wire encoding (little-endian CDR with the
byte-order flag first; the call payloads are derived from the interface
description), the text seeds are typical files. Rerun after a change of the
wire form; the files are small and kept in the repository.
"""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
RPC = os.path.join(HERE, "..", "src", "interfaces", "rpc", "interfaces.rpc")


class Cdr:
    """Little-endian CDR stream, aligned from its first byte like a payload."""

    def __init__(self, payload=True):
        self.data = bytearray()
        if payload:
            self.data.append(1)  # byte-order flag: little-endian

    def align(self, n):
        while len(self.data) % n:
            self.data.append(0)

    def long(self, v):
        self.align(4)
        self.data += struct.pack("<i", v)
        return self

    def ulong(self, v):
        self.align(4)
        self.data += struct.pack("<I", v)
        return self

    def short(self, v):
        self.align(2)
        self.data += struct.pack("<h", v)
        return self

    def string(self, s):
        b = s.encode() if isinstance(s, str) else s
        self.ulong(len(b) + 1)
        self.data += b + b"\0"
        return self

    def block(self, b):
        self.ulong(len(b))
        self.data += b
        return self

    def error(self, code=0, data=None):
        self.long(code)
        if code >= 0:
            return self
        self.string("RepositoryServer.cpp:120").string("IRepository::addModule").string("module not found")
        self.ulong(2).string("mod1").string("1.0")
        if data is None:
            self.short(0)
        else:
            self.short(1).ulong(len(data))
            self.data += data
            self.string("Module mod1 version 1.0 was not found.")
        return self

    def version(self, major, minor, level, text):
        return self.long(major).long(minor).long(level).string(text)

    def status_list(self, n):
        self.long(n)
        for i in range(n):
            self.string("host%d" % i).string("" if i % 2 == 0 else "deploy command failed").ulong(5 + i)
        return self

    def package_list(self, n):
        self.long(n)
        for i in range(n):
            self.string("app%d" % i).string("rpm").string("/").string("admin").string("app%d.rpm" % i)
            self.ulong(1024 * (i + 1)).string("").ulong(1700000000 + i)
        return self

    def module_list(self, n):
        self.long(n)
        for i in range(n):
            self.string("%d.0" % (i + 1)).string("module%d" % i).long(i)
            for j in range(i):
                self.string("app%d" % j)
            self.string("/team/a").string("alice").string("module%d.zip" % i)
            self.ulong(4096).ulong(1700000000).ulong(i % 2)
        return self

    def bytes(self):
        return bytes(self.data)


def write(target, name, content):
    directory = os.path.join(HERE, "corpus", target)
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as f:
        f.write(content if isinstance(content, bytes) else content.encode())


def header(size, type_id, version=0, little=True):
    if little:
        return struct.pack("<iIII", 1, version, size, type_id)
    return struct.pack(">iIII", 1, version, size, type_id)


def assembler_seeds():
    handshake = b"IRepository"
    call = Cdr().string("logon").string("alice:secret").string("/team").bytes()
    write("message_assembler", "handshake", header(len(handshake), 0x0BADC0DE) + handshake)
    write("message_assembler", "two_messages",
          header(len(handshake), 7) + handshake + header(len(call), 42) + call)
    write("message_assembler", "big_endian", header(len(handshake), 7, little=False) + handshake)
    write("message_assembler", "bad_version", header(4, 7, version=3) + b"abcd")
    write("message_assembler", "zero_size", header(0, 7))
    write("message_assembler", "too_large", header(0x7FFFFFFF, 7) + b"xx")
    write("message_assembler", "cut_short", header(100, 7) + b"only a part")


def argument(stream, kind, index):
    if kind == "string":
        stream.string(["module1", "1.0", "/team/a", "host1", "rpm"][index % 5])
    elif kind == "int32":
        stream.long(index)
    elif kind == "block":
        stream.block(b"PK\x03\x04 module bytes")
    elif kind == "error":
        stream.error(-0x2FFEB3BD if index % 2 else 0, b"\x01\x02" if index % 3 == 0 else None)
    elif kind == "version":
        stream.version(7, 3, 1, "7.3.1")
    elif kind == "modulelist":
        stream.module_list(2)
    elif kind == "packagelist":
        stream.package_list(2)
    elif kind == "statuslist":
        stream.status_list(3)
    else:
        sys.exit("unknown argument type " + kind)


def rpc_seeds():
    # The target picks interfaces in this order.
    order = ["IRepository", "IRepositoryResp", "IAppDeployment", "IAppDeploymentResp"]
    operations = {}
    current = None
    for line in open(RPC):
        line = line.split("#")[0].strip()
        if not line:
            continue
        if line.startswith("interface "):
            current = line.split()[1]
            operations[current] = []
            continue
        name, rest = line.split("(", 1)
        args = [a.split()[0] for a in rest.split(")")[0].split(",") if a.strip()]
        operations[current].append((name.strip(), args))
    for i, interface in enumerate(order):
        for j, (name, args) in enumerate(operations[interface]):
            stream = Cdr()
            for k, kind in enumerate(args):
                argument(stream, kind, k)
            write("rpc_calls", "%s_%s" % (interface, name), bytes([i, j]) + stream.bytes())
        # A payload cut in the middle of its first argument.
        write("rpc_calls", "%s_cut" % interface, bytes([i, 0]) + Cdr().ulong(50).bytes() + b"abc")


def record_seeds():
    write("error_record", "success", Cdr().error(0).bytes())
    write("error_record", "failure", Cdr().error(-0x2FFEB3BD).bytes())
    write("error_record", "failure_with_data", Cdr().error(-0x2FFEB3BD, b"\x00\x01\x02\x03").bytes())
    write("error_record", "params_too_many", Cdr().long(-5).string("a").string("b").string("c")
          .ulong(0x7FFFFFFF).bytes())
    for selector, kind, build in ((0, "status", Cdr.status_list), (1, "package", Cdr.package_list),
                                  (2, "module", Cdr.module_list)):
        for n in (0, 1, 3):
            write("list_records", "%s_%d" % (kind, n), bytes([selector]) + build(Cdr(), n).bytes())
        write("list_records", "%s_huge_count" % kind, bytes([selector]) + Cdr().long(0x7FFFFFFF).bytes())


def file_seeds():
    write("index_file", "typical",
          "module1|1|module1.zip|1700000000|alice|0|4096|2|app1|app2\n"
          "module2.type_linux|3|module2.tgz|1700000100|bob|1|100|0\n"
          "module3|2|module3.zip|1700000200|carol|0|10|1|app9\n")
    write("index_file", "short_and_odd",
          "lonely\n|||||||\nmod|1|f|x|o|yes|-5|-3|a\nmod|2|f|1|o|0|1|99|a\r\nMOD|1|f|1|o|0|1|0\n")
    write("index_file", "empty", "")
    write("persisted_state", "typical",
          "pkg1|2|host1|1700000000|7||host2|1700000001|9|deploy command failed\n"
          "pkg2|1|host3|1700000002|2|\n")
    write("persisted_state", "odd",
          "pkg|5|h|1|7|\n|0\npkg3|-1|h|x|y|z\npkg4|1|h|1|4294967295|e\npkg4|0\n")
    write("cluster_file", "typical", open(os.path.join(HERE, "..", "docs", "cluster.example.toml")).read()
          if os.path.exists(os.path.join(HERE, "..", "docs", "cluster.example.toml")) else "")
    write("cluster_file", "small",
          '[cluster]\nstate_dir = "state"\n\n[params]\nQEL_TOP = "/opt/qel"\n\n'
          '[[hosts]]\nname = "node1"\nslots = 2\n\n[[hosts]]\nname = "node2"\ntype = "linux"\n\n'
          '[groups]\nweb = ["node1", "node2"]\n\nconsumers = ["/team/a", "b//c/"]\n\n'
          '[[roles]]\nuser = "alice"\nconsumer = "/"\nlevel = 1\n')
    write("cluster_file", "malformed", '[[hosts]]\nname = 5\n[groups]\nweb = ["nowhere"]\n')
    write("password_file", "typical",
          "# accounts\nalice:$y$j9T$abcdefgh$0123456789abcdefghijklmnopqrstuvwxyzABCDE\n"
          "bob:$6$salt$hash\n\n")
    write("password_file", "odd",
          "no colon\n:$6$x$y\ncarol:nohash\ndave:$6$a b$c\neve:$6$x$y\r\neve:$6$later$wins \t\n#x:$6$y$z\n")


if __name__ == "__main__":
    assembler_seeds()
    rpc_seeds()
    record_seeds()
    file_seeds()
