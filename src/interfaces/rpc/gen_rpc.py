#!/usr/bin/env python3
"""Generates the C++ classes of the RPC interfaces from their description.

Usage: gen_rpc.py DESCRIPTION OUTDIR     writes the sources into OUTDIR
       gen_rpc.py DESCRIPTION --list     prints the names of those sources

Per interface NAME: NAME.h and NAME.cpp with the call classes
(NAME::op_Call), the dispatcher (NAME::CallCompletionImp), the proxy
(NAMEProxy) and, for a response interface, the response client
(NAMEClient); for an interface answered by another, the table of its
operations' facts and the router of received calls (NAME::Interface); plus
RpcRegistry.cpp with the table of interfaces and the role level of every
permission operation.
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

# Argument types a parameter line can show.
LOGGED_TYPES = ("string", "int32", "error", "version")
# type -> the empty value of a failure answer (the error is the failure's)
EMPTY = {
    "string": "std::string_view {}",
    "int32": "0",
    "block": "nullptr",
    "error": "&error",
    "version": "KavVersion {}",
    "modulelist": "rs::RepositoryAppList {}",
    "packagelist": "rs::AppDplList {}",
    "statuslist": "rs::DplStatusList {}",
}

INTERFACE_RE = re.compile(
    r"^interface\s+(\w+)(?:\s+answered-by\s+(\w+)\s+served-by\s+(\w+)(\s+logs-first)?)?$")
OPERATION_RE = re.compile(r"^(\w+)\((.*)\)(?:\s*->\s*(\w+))?$")
PERMISSION_RE = re.compile(r"^permission\s+(\d+)\s+level\s+(\d+)$")
# The highest kind a work item may have: the hang-up block's priority.
MAX_KIND = 4


class Facts:
    def __init__(self):
        self.queued = None  # True: work item, False: answered at once
        self.kind = 0
        self.shared = True
        self.permission = None  # 0: none checked
        self.requires = None  # list of argument names
        self.logs = None  # list of argument names or "@consumer"; None with quiet
        self.quiet = False
        self.log_name = None
        self.open = False
        self.audited = None  # argument name
        self.audit_message = 0


class Operation:
    def __init__(self, name, args, answer, number):
        self.name = name
        self.args = args  # list of (type, name)
        self.answer = answer
        self.number = number  # line of the description
        self.facts = None


class Interface:
    def __init__(self, name, response, server=None, logs_first=False):
        self.name = name
        self.response = response
        self.server = server
        self.logs_first = logs_first
        self.operations = []


def fail(path, number, message):
    sys.exit(f"{path}:{number}: {message}")


def parse_facts(path, number, op, text):
    facts = Facts()
    names = {name for _, name in op.args}
    types = dict((name, type_name) for type_name, name in op.args)

    def argument(name, allowed=None):
        if name not in names:
            fail(path, number, f"{op.name}: no argument '{name}'")
        if allowed and types[name] not in allowed:
            fail(path, number, f"{op.name}: '{name}' cannot be used here")
        return name

    for clause in filter(None, (part.strip() for part in text.split(";"))):
        words = clause.split()
        key, values = words[0], words[1:]
        if key == "work":
            if len(values) != 2 or not values[0].isdigit() or values[1] not in ("shared", "exclusive"):
                fail(path, number, f"{op.name}: expected 'work KIND shared|exclusive'")
            if not 1 <= int(values[0]) <= MAX_KIND:
                fail(path, number, f"{op.name}: a kind lies between 1 and {MAX_KIND}")
            facts.queued, facts.kind, facts.shared = True, int(values[0]), values[1] == "shared"
        elif key == "at-once" and not values:
            facts.queued = False
        elif key == "permission" and len(values) == 1:
            facts.permission = 0 if values[0] == "none" else int(values[0]) if values[0].isdigit() else None
            if facts.permission is None:
                fail(path, number, f"{op.name}: expected 'permission N' or 'permission none'")
        elif key == "requires" and values:
            facts.requires = [] if values == ["none"] else [argument(name) for name in values]
        elif key == "logs":
            facts.logs = [name if name == "@consumer" else argument(name, LOGGED_TYPES) for name in values]
        elif key == "quiet" and not values:
            facts.quiet = True
        elif key == "log-name" and len(values) == 1:
            facts.log_name = values[0]
        elif key == "open" and not values:
            facts.open = True
        elif key == "audited" and 1 <= len(values) <= 2:
            facts.audited = argument(values[0], ("string",))
            if len(values) == 2:
                try:
                    facts.audit_message = int(values[1], 0)
                except ValueError:
                    fail(path, number, f"{op.name}: '{values[1]}' is no catalogue message number")
        else:
            fail(path, number, f"{op.name}: unknown fact '{clause}'")
    return facts


def parse(path):
    interfaces = []
    permissions = {}
    with open(path, encoding="utf-8") as source:
        for number, raw in enumerate(source, 1):
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            if raw[0].isspace():
                if not interfaces or not interfaces[-1].operations:
                    fail(path, number, "facts without an operation")
                op = interfaces[-1].operations[-1]
                if op.facts:
                    fail(path, number, f"{op.name}: facts given twice")
                op.facts = parse_facts(path, number, op, line)
                continue
            match = PERMISSION_RE.match(line)
            if match:
                permissions[int(match.group(1))] = int(match.group(2))
                continue
            match = INTERFACE_RE.match(line)
            if match:
                interfaces.append(Interface(match.group(1), match.group(2), match.group(3), bool(match.group(4))))
                continue
            match = OPERATION_RE.match(line)
            if not match or not interfaces:
                fail(path, number, "expected 'interface NAME', 'permission N level L' or 'operation(type name, ...)'")
            args = []
            for text in filter(None, (part.strip() for part in match.group(2).split(","))):
                pieces = text.split()
                if len(pieces) != 2 or pieces[0] not in TYPES:
                    fail(path, number, f"bad argument '{text}'")
                args.append((pieces[0], pieces[1]))
            interfaces[-1].operations.append(Operation(match.group(1), args, match.group(3), number))
    check(path, interfaces, permissions)
    return interfaces, permissions


def check_facts(path, interface, op, permissions):
    where = f"{interface.name}::{op.name}"
    facts = op.facts
    if not facts:
        fail(path, op.number, f"{where}: missing facts")
    if facts.queued is None:
        fail(path, op.number, f"{where}: missing 'work KIND shared|exclusive' or 'at-once'")
    if facts.logs is None and not facts.quiet:
        fail(path, op.number, f"{where}: missing 'logs' or 'quiet'")
    if facts.queued:
        if not op.answer:
            fail(path, op.number, f"{where}: a queued operation needs an answer")
        if facts.permission is None:
            fail(path, op.number, f"{where}: missing 'permission N' or 'permission none'")
        if facts.requires is None:
            fail(path, op.number, f"{where}: missing 'requires'")
        if facts.permission and facts.permission not in permissions:
            fail(path, op.number, f"{where}: permission {facts.permission} is not declared")
    elif facts.permission or facts.requires or facts.audited:
        fail(path, op.number, f"{where}: an operation answered at once has no permission, requires or audited")


def check(path, interfaces, permissions):
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
            if interface.response:
                check_facts(path, interface, op, permissions)
            elif op.facts:
                fail(path, op.number, f"{interface.name}::{op.name}: an answer has no facts")


def outputs(interfaces):
    names = []
    for interface in interfaces:
        names += [interface.name + ".h", interface.name + ".cpp"]
    return names + ["RpcRegistry.cpp"]


def capitalised(name):
    return name[0].upper() + name[1:]


def request_members(op):
    facts = op.facts
    present = " && ".join(f"{name}()" for name in facts.requires) if facts.queued else ""
    shown = [("consumer" if name == "@consumer" else f"rpc::shown({name}())") for name in facts.logs or []]
    consumer = "consumer" if "@consumer" in (facts.logs or []) else ""
    subject = f"rpc::shown({facts.audited}())" if facts.audited else "{}"
    return [
        f"    static constexpr bool kQueued = {'true' if facts.queued else 'false'};",
        "    // What the service knows of the operation.",
        "    static const rpc::OperationFacts& facts();",
        "    // Whether every argument the operation requires is present.",
        f"    bool requiredPresent() const {{ return {present or 'true'}; }}",
        "    // The values of its parameter line; consumer: the connection's.",
        f"    std::string parameters(const std::string& {consumer}) const {{ return rpc::joined({{ {', '.join(shown)} }}); }}",
        "    // The argument its refusal's audit record names.",
        f"    std::string subject() const {{ return {subject}; }}",
    ]


def failure_member(op):
    values = ", ".join(EMPTY[t] for t, _ in op.args)
    return [
        "    // The answer of a failure: the error and empty results.",
        f"    static std::unique_ptr<{op.name}_Call> failure(const kav::IKavErrorInfo& error)",
        "    {",
        f"        return std::make_unique<{op.name}_Call>({values});",
        "    }",
    ]


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
    if interface.response:
        lines += request_members(op)
    elif any(t == "error" for t, _ in op.args):
        lines += failure_member(op)
    lines.append("};")
    return "\n".join(lines)


def interface_struct(interface):
    lines = [
        "// The interface as one type, for the templates of its server.",
        "struct Interface {",
        f"    using Client = ::{interface.response}Client;",
        "    static constexpr const char* kName = kInterfaceName;",
        "    // Hands a received call to handler(std::unique_ptr<op_Call>); false (the",
        "    // call deleted) when no operation has its method name.",
        "    template <class Handler> static bool route(std::unique_ptr<zephcomm::Call> call, Handler&& handler)",
        "    {",
        "        const std::string& method = call->methodName();",
    ]
    for op in interface.operations:
        lines += [
            f"        if (method == {op.name}_Call::kMethodName) {{",
            f"            handler(std::unique_ptr<{op.name}_Call>(static_cast<{op.name}_Call*>(call.release())));",
            "            return true;",
            "        }",
        ]
    lines += ["        return false;", "    }", "};", ""]
    return lines


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
    ]
    if interface.response:
        out += [
            "// The facts of every operation, in declaration order.",
            "std::span<const rpc::OperationFacts> operations();",
            "",
        ] + interface_struct(interface)
    out += [
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


def c_string(text):
    return "nullptr" if text is None else '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


def facts_table(interface, permissions):
    def row(op):
        facts = op.facts
        parameter_line = None
        if not facts.quiet:
            parameter_line = (facts.log_name or f"{interface.server}::{op.name}") + " Got parameters: "
        answer = f"&rpc::sendFailure<{interface.response}::{op.answer}_Call>" if facts.queued else "nullptr"
        flag = lambda value: "true" if value else "false"
        values = [
            ("interfaceName", c_string(interface.name)),
            ("name", c_string(op.name)),
            ("queued", flag(facts.queued)),
            ("kind", str(facts.kind)),
            ("shared", flag(facts.shared)),
            ("permission", str(facts.permission or 0)),
            ("roleLevel", str(permissions.get(facts.permission or 0, 0))),
            ("open", flag(facts.open)),
            ("parameterLine", c_string(parameter_line)),
            ("logsFirst", flag(interface.logs_first)),
            ("audited", flag(facts.audited)),
            ("auditMessage", hex(facts.audit_message)),
            ("answerFailure", answer),
        ]
        return "    { " + ", ".join(f".{field} = {value}" for field, value in values) + " },"

    out = ["namespace {", "", "const rpc::OperationFacts kFacts[] = {"]
    out += [row(op) for op in interface.operations]
    out += ["};", "", "} // namespace", ""]
    for index, op in enumerate(interface.operations):
        out += [f"const rpc::OperationFacts& {op.name}_Call::facts()", "{", f"    return kFacts[{index}];", "}", ""]
    out += ["std::span<const rpc::OperationFacts> operations()", "{", "    return kFacts;", "}", ""]
    return out


def source(interface, permissions):
    name = interface.name
    out = [
        "// Generated by gen_rpc.py from interfaces.rpc; do not edit.",
        f'#include "interfaces/{name}.h"',
        "",
        '#include "common/KavAssert.h"',
        "",
        f"namespace {name} {{",
        "",
    ]
    if interface.response:
        out += facts_table(interface, permissions)
    out += [
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


def registry(interfaces, permissions):
    out = [
        "// Generated by gen_rpc.py from interfaces.rpc; do not edit.",
        '#include "interfaces/rpc/RpcSupport.h"',
        "",
    ]
    out += [f'#include "interfaces/{i.name}.h"' for i in interfaces]
    out += ["", "namespace rpc {", "", "namespace {", "const InterfaceInfo kInterfaces[] = {"]
    for i in interfaces:
        response = f'"{i.response}"' if i.response else "nullptr"
        operations = f"&{i.name}::operations" if i.response else "nullptr"
        out.append(f'    {{"{i.name}", {response}, &{i.name}::prototypes, {operations}}},')
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
        "const OperationFacts* findOperation(std::string_view interfaceName, std::string_view operation)",
        "{",
        "    const InterfaceInfo* info = findInterface(interfaceName);",
        "    if (!info || !info->operations)",
        "        return nullptr;",
        "    for (const OperationFacts& facts : info->operations()) {",
        "        if (operation == facts.name)",
        "            return &facts;",
        "    }",
        "    return nullptr;",
        "}",
        "",
        "int roleLevel(int permission)",
        "{",
        "    switch (permission) {",
    ]
    for number, level in sorted(permissions.items()):
        out.append(f"    case {number}:")
        out.append(f"        return {level};")
    out += [
        "    default:",
        "        return 0;",
        "    }",
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
    interfaces, permissions = parse(argv[1])
    if argv[2] == "--list":
        print(";".join(outputs(interfaces)))
        return
    os.makedirs(argv[2], exist_ok=True)
    for interface in interfaces:
        write_if_changed(os.path.join(argv[2], interface.name + ".h"), header(interface))
        write_if_changed(os.path.join(argv[2], interface.name + ".cpp"), source(interface, permissions))
    write_if_changed(os.path.join(argv[2], "RpcRegistry.cpp"), registry(interfaces, permissions))


if __name__ == "__main__":
    main(sys.argv)
