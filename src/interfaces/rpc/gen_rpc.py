#!/usr/bin/env python3
"""Generates the C++ classes of the RPC interfaces from their description.

Usage: gen_rpc.py DESCRIPTION OUTDIR     writes the sources into OUTDIR
       gen_rpc.py DESCRIPTION --list     prints the names of those sources

Per interface NAME: NAME.h and NAME.cpp with the call classes
(NAME::op_Call), the dispatcher (NAME::CallCompletionImp), the proxy
(NAMEProxy) and, for a response interface, the response client
(NAMEClient); plus RpcRegistry.cpp with the table of interfaces.
"""

import os
import re
import sys

# type -> (codec, type held by a received call, parameter of a response
#          client method, expression turning that parameter into the codec's In)
TYPES = {
    "string": ("rpc::String", "std::unique_ptr<std::string>", "const std::string*", "*{}"),
    "int32": ("rpc::Int32", "int32_t", "int32_t", "{}"),
    "block": ("rpc::Block", "rpc::BlockPtr", "const ACE_Message_Block*", "{}"),
    "error": ("rpc::Error", "std::unique_ptr<kav::KavErrorInfo>", "const kav::IKavErrorInfo*", "{}"),
    "version": ("rpc::Version", "std::unique_ptr<KavVersion>", "const KavVersion*", "*{}"),
    "modulelist": ("rpc::ModuleList", "std::unique_ptr<rs::RepositoryAppList>", "const rs::RepositoryAppList*", "*{}"),
    "packagelist": ("rpc::PackageList", "std::unique_ptr<rs::AppDplList>", "const rs::AppDplList*", "*{}"),
    "statuslist": ("rpc::StatusList", "std::unique_ptr<rs::DplStatusList>", "const rs::DplStatusList*", "*{}"),
}

INTERFACE_RE = re.compile(r"^interface\s+(\w+)(?:\s+answered-by\s+(\w+))?$")
OPERATION_RE = re.compile(r"^(\w+)\((.*)\)(?:\s*->\s*(\w+))?$")


class Operation:
    def __init__(self, name, args, answer):
        self.name = name
        self.args = args  # list of (type, name)
        self.answer = answer


class Interface:
    def __init__(self, name, response):
        self.name = name
        self.response = response
        self.operations = []


def fail(path, number, message):
    sys.exit(f"{path}:{number}: {message}")


def parse(path):
    interfaces = []
    with open(path, encoding="utf-8") as source:
        for number, raw in enumerate(source, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            match = INTERFACE_RE.match(line)
            if match:
                interfaces.append(Interface(match.group(1), match.group(2)))
                continue
            match = OPERATION_RE.match(line)
            if not match or not interfaces:
                fail(path, number, "expected 'interface NAME' or 'operation(type name, ...)'")
            args = []
            for text in filter(None, (part.strip() for part in match.group(2).split(","))):
                pieces = text.split()
                if len(pieces) != 2 or pieces[0] not in TYPES:
                    fail(path, number, f"bad argument '{text}'")
                args.append((pieces[0], pieces[1]))
            interfaces[-1].operations.append(Operation(match.group(1), args, match.group(3)))
    check(path, interfaces)
    return interfaces


def check(path, interfaces):
    by_name = {i.name: i for i in interfaces}
    for interface in interfaces:
        names = [op.name for op in interface.operations]
        if len(names) != len(set(names)):
            sys.exit(f"{path}: {interface.name} declares an operation twice")
        if interface.response and interface.response not in by_name:
            sys.exit(f"{path}: {interface.name} is answered by unknown {interface.response}")
        answers = {op.name for op in by_name[interface.response].operations} if interface.response else set()
        for op in interface.operations:
            if op.answer and op.answer not in answers:
                sys.exit(f"{path}: {interface.name}::{op.name} is answered by unknown {op.answer}")


def outputs(interfaces):
    names = []
    for interface in interfaces:
        names += [interface.name + ".h", interface.name + ".cpp"]
    return names + ["RpcRegistry.cpp"]


def capitalised(name):
    return name[0].upper() + name[1:]


def call_class(interface, op):
    codecs = "".join(", " + TYPES[t][0] for t, _ in op.args)
    response = f"{interface.response}::{op.answer}_Call" if op.answer else "void"
    lines = [
        f"// {interface.name}::{op.name}" + ("" if op.answer else " (not answered)"),
        f"class {op.name}_Call final : public zephCDRMarshal::TypedCall<{op.name}_Call{codecs}> {{",
        "public:",
        f'    static constexpr const char* kMethodName = "{op.name}";',
        f"    using Response = {response};",
        "    using TypedCall::TypedCall;",
    ]
    for index, (_, name) in enumerate(op.args):
        lines.append(f"    auto {name}() const {{ return argument<{index}>(); }}")
        lines.append(f"    auto take{capitalised(name)}() {{ return take<{index}>(); }}")
    lines.append("};")
    return "\n".join(lines)


def held_parameters(op):
    return ", ".join(f"{TYPES[t][1]} {name}" for t, name in op.args)


def client_parameters(op):
    return ", ".join(f"{TYPES[t][2]} {name}" for t, name in op.args)


def header(interface):
    name = interface.name
    out = [
        "// Generated by gen_rpc.py from interfaces.rpc; do not edit.",
        "#pragma once",
        "",
        '#include "interfaces/rpc/RpcSupport.h"',
    ]
    if interface.response:
        out.append(f'#include "interfaces/{interface.response}.h"')
    out += ["", f"namespace {name} {{", "", f'inline constexpr const char* kInterfaceName = "{name}";', ""]
    for op in interface.operations:
        out += [call_class(interface, op), ""]
    out += [
        "// One empty call per operation, in declaration order (for Stub::bind).",
        "rpc::Prototypes prototypes();",
        "",
        "// Receives the calls of the interface: one operation per method, in",
        "// declaration order. Ownership of every argument passes to the operation;",
        "// status() is the call's unmarshal result (non-zero: a malformed request,",
        "// the argument whose read failed is empty, later ones null).",
        "// Threads: a driver thread, one call at a time per channel.",
        "class CallCompletionImp : public rpc::Dispatcher {",
        "public:",
        "    void complete(int error, zephcomm::Call* call) override;",
        "",
    ]
    for op in interface.operations:
        out.append(f"    virtual void {op.name}({held_parameters(op)}) = 0;")
    out += ["};", "", f"}} // namespace {name}", ""]
    out += [
        f"// Sends calls of {name} (zero time-out). See rpc::InterfaceProxy.",
        f"class {name}Proxy final : public rpc::InterfaceProxy {{",
        "public:",
        f"    explicit {name}Proxy(zephcomm::ConnectEvent* connected = nullptr)",
        f"        : InterfaceProxy({name}::kInterfaceName, connected)",
        "    {",
        "    }",
        f"    explicit {name}Proxy(zephcomm::Channel* channel) : InterfaceProxy({name}::kInterfaceName, channel) {{}}",
        "};",
    ]
    if not interface.response:
        out += [
            "",
            f"// Sends the answers of {name} on one connection. Every pointer argument",
            "// must be present (a null one fails KAV_ASSERT: -1, nothing sent).",
            "// Results: 0 when handed to the channel, -100 when marshalling failed,",
            "// -9 after detach(), else the proxy's error. See rpc::ResponseClient.",
            f"class {name}Client final : public rpc::ResponseClient {{",
            "public:",
            f"    explicit {name}Client(zephcomm::Proxy* proxy) : ResponseClient(proxy) {{}}",
            f"    // Over a new {name}Proxy on `channel`.",
            f"    explicit {name}Client(zephcomm::Channel* channel);",
            "",
        ]
        for op in interface.operations:
            out.append(f"    int {op.name}({client_parameters(op)});")
        out.append("};")
    return "\n".join(out) + "\n"


def source(interface):
    name = interface.name
    out = [
        "// Generated by gen_rpc.py from interfaces.rpc; do not edit.",
        f'#include "interfaces/{name}.h"',
        "",
        '#include "common/KavAssert.h"',
        "",
        f"namespace {name} {{",
        "",
        "rpc::Prototypes prototypes()",
        "{",
        "    rpc::Prototypes list;",
    ]
    for op in interface.operations:
        out.append(f"    list.emplace_back(new {op.name}_Call(zephCDRMarshal::prototype));")
    out += [
        "    return list;",
        "}",
        "",
        "void CallCompletionImp::complete(int error, zephcomm::Call* call)",
        "{",
        "    std::unique_ptr<zephcomm::Call> owned(call);",
        "    if (error != 0 || !owned)",
        "        return;",
        "    const std::string& method = owned->methodName();",
    ]
    for op in interface.operations:
        out.append(f"    if (method == {op.name}_Call::kMethodName)")
        out.append(f"        return dispatch<{op.name}_Call>(this, *owned, &CallCompletionImp::{op.name});")
    out += ["}", "", f"}} // namespace {name}", ""]
    if not interface.response:
        out += [
            f"{name}Client::{name}Client(zephcomm::Channel* channel)",
            f"    : ResponseClient(kav::RefPtr<{name}Proxy>::adopt(new {name}Proxy(channel)).get())",
            "{",
            "}",
            "",
        ]
        for op in interface.operations:
            out += [f"int {name}Client::{op.name}({client_parameters(op)})", "{"]
            for type_name, arg in op.args:
                if type_name != "int32":
                    out.append(f"    KAV_ASSERT({arg} != 0, -1);")
            values = ", ".join(TYPES[t][3].format(arg) for t, arg in op.args)
            # Every answer starts with its error record: its code is counted with the operation.
            out += [f"    return send(std::make_unique<{name}::{op.name}_Call>({values}), {op.args[0][1]}->getCode());",
                    "}", ""]
    return "\n".join(out)


def registry(interfaces):
    out = [
        "// Generated by gen_rpc.py from interfaces.rpc; do not edit.",
        '#include "interfaces/rpc/RpcSupport.h"',
        "",
    ]
    out += [f'#include "interfaces/{i.name}.h"' for i in interfaces]
    out += ["", "namespace rpc {", "", "namespace {", "const InterfaceInfo kInterfaces[] = {"]
    for i in interfaces:
        response = f'"{i.response}"' if i.response else "nullptr"
        out.append(f'    {{"{i.name}", {response}, &{i.name}::prototypes}},')
    out += [
        "};",
        "} // namespace",
        "",
        "const InterfaceInfo* findInterface(std::string_view name)",
        "{",
        "    for (const InterfaceInfo& info : kInterfaces) {",
        "        if (name == info.name)",
        "            return &info;",
        "    }",
        "    return nullptr;",
        "}",
        "",
        "} // namespace rpc",
        "",
    ]
    return "\n".join(out)


def write_if_changed(path, text):
    if os.path.exists(path):
        with open(path, encoding="utf-8") as existing:
            if existing.read() == text:
                return
    with open(path, "w", encoding="utf-8") as target:
        target.write(text)


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    interfaces = parse(argv[1])
    if argv[2] == "--list":
        print(";".join(outputs(interfaces)))
        return
    os.makedirs(argv[2], exist_ok=True)
    for interface in interfaces:
        write_if_changed(os.path.join(argv[2], interface.name + ".h"), header(interface))
        write_if_changed(os.path.join(argv[2], interface.name + ".cpp"), source(interface))
    write_if_changed(os.path.join(argv[2], "RpcRegistry.cpp"), registry(interfaces))


if __name__ == "__main__":
    main(sys.argv)
