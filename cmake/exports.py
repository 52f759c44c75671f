#!/usr/bin/env python3
"""The library's exported interface, as its public headers declare it.

  exports.py version-script --include DIR --output FILE
      Writes a linker version script that keeps exactly the functions declared
      with VANTO_EXPORT global and makes every other symbol local (template
      instances and type information of the standard library among them).

  exports.py check --include DIR --library libvanto_edit.so [--nm nm] [--cxxfilt c++filt]
      Compares the library's dynamic symbols with the declarations. A
      declaration inside an extern "C" block (VANTO_EXTERN_C_BEGIN ...
      VANTO_EXTERN_C_END, or a literal extern "C" { }) must be exported under
      its plain name. One outside such blocks must be exported as C++ symbols
      whose demangled name is the (namespace-qualified) declared name, one per
      declared overload. Any other exported symbol is an error, and so is a
      declaration that the library does not export.

Every *.h under DIR is read; comments and preprocessor lines are skipped, so
declarations under #ifdef __cplusplus count as C++ ones.
"""

import argparse
import collections
import pathlib
import re
import subprocess
import sys

# Symbols the linker defines in a shared object linked without a version
# script; they belong to no interface.
LINKER_SYMBOLS = {"_init", "_fini", "_edata", "_end", "__bss_start"}

TOKEN_RE = re.compile(
    r'"(?:\\.|[^"\\])*"'       # string literal
    r"|'(?:\\.|[^'\\])*'"      # character literal
    r"|::|[A-Za-z_]\w*|\d\w*|\S")
IDENT_RE = re.compile(r"[A-Za-z_]\w*")
NOT_NAMES = {"__attribute__", "__declspec", "alignas", "decltype", "noexcept", "sizeof",
             "static_assert", "throw", "typeof", "VANTO_EXPORT"}


def code_tokens(text):
    """Tokens of a header with comments and preprocessor lines removed."""
    text = re.sub(r"/\*.*?\*/", lambda m: "\n" * m.group(0).count("\n"), text, flags=re.S)
    text = re.sub(r"//[^\n]*", "", text)
    lines = []
    continued = False
    for line in text.split("\n"):
        directive = continued or line.lstrip().startswith("#")
        continued = directive and line.rstrip().endswith("\\")
        lines.append("" if directive else line)
    return TOKEN_RE.findall("\n".join(lines))


def declared_name(statement, where):
    """Name of an exported declaration: the identifier (with any A::B:: before
    it) right before the first '(' that follows an identifier; for a variable,
    the last identifier."""
    for i, tok in enumerate(statement):
        if tok != "(" or i == 0:
            continue
        prev = statement[i - 1]
        if prev == "operator" or (i > 1 and statement[i - 2] == "operator"):
            raise SystemExit(f"{where}: exported operators are not understood: {' '.join(statement)}")
        if IDENT_RE.fullmatch(prev) and prev not in NOT_NAMES:
            parts, j = [prev], i - 1
            while j >= 2 and statement[j - 1] == "::" and IDENT_RE.fullmatch(statement[j - 2]):
                parts.insert(0, statement[j - 2])
                j -= 2
            return "::".join(parts)
    idents = [t for t in statement if IDENT_RE.fullmatch(t) and t not in NOT_NAMES]
    if not idents:
        raise SystemExit(f"{where}: cannot find the name in: {' '.join(statement)}")
    return idents[-1]


def exported_declarations(path):
    """Yields (name, has_c_linkage) for every VANTO_EXPORT declaration of a header."""
    tokens = code_tokens(path.read_text())
    scopes = []            # per open brace: ("externC" | "namespace" | "body", name)
    c_macro_depth = 0      # open VANTO_EXTERN_C_BEGIN blocks
    statement = []
    body_start = None      # index in `statement` of the top-level body's '{'

    def finish():
        nonlocal statement, body_start
        if "VANTO_EXPORT" in statement:
            name = declared_name(statement, path.name)
            in_c = c_macro_depth > 0 or any(kind == "externC" for kind, _ in scopes)
            if not in_c:
                name = "::".join([n for kind, n in scopes if kind == "namespace" and n] + [name])
            yield name, in_c
        statement, body_start = [], None

    i = 0
    while i < len(tokens):
        tok = tokens[i]
        in_body = any(kind == "body" for kind, _ in scopes)
        if in_body:
            if tok == "{":
                scopes.append(("body", None))
            elif tok == "}":
                scopes.pop()
                if not any(kind == "body" for kind, _ in scopes):
                    # A function definition ends at its closing brace.
                    head = statement[:body_start]
                    statement.append(tok)
                    if head and "(" in head and "=" not in head and head[0] not in ("struct", "union", "enum", "class", "typedef"):
                        yield from finish()
                    i += 1
                    continue
            statement.append(tok)
        elif tok == "VANTO_EXTERN_C_BEGIN":
            c_macro_depth += 1
        elif tok == "VANTO_EXTERN_C_END":
            c_macro_depth -= 1
        elif tok == "extern" and tokens[i + 1:i + 3] == ['"C"', "{"]:
            scopes.append(("externC", None))
            i += 3
            continue
        elif tok == "namespace" and not statement:
            j, name = i + 1, []
            while j < len(tokens) and tokens[j] not in ("{", ";", "="):
                if tokens[j] not in ("::", "inline"):
                    name.append(tokens[j])
                j += 1
            if j < len(tokens) and tokens[j] == "{":
                scopes.append(("namespace", "::".join(name)))
                i = j + 1
                continue
            statement.append(tok)
        elif tok == "{":
            scopes.append(("body", None))
            body_start = len(statement)
            statement.append(tok)
        elif tok == "}":
            if not scopes:
                raise SystemExit(f"{path.name}: unbalanced '}}'")
            scopes.pop()
            statement = []
        elif tok == ";":
            yield from finish()
        else:
            statement.append(tok)
        i += 1
    if scopes or c_macro_depth:
        raise SystemExit(f"{path.name}: a block is left open at the end of the file")


def function_name(demangled):
    """Qualified name of a demangled function symbol, without its parameters
    and ABI tags."""
    demangled = re.sub(r"\[abi:\w+\]", "", demangled)
    depth = 0
    for i, ch in enumerate(demangled):
        if ch == "<":
            depth += 1
        elif ch == ">":
            depth -= 1
        elif ch == "(" and depth == 0:
            return demangled[:i]
    return demangled


def library_exports(nm, cxxfilt, library):
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True,
                         capture_output=True, text=True).stdout
    names = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) < 2:
            continue
        name = fields[-1].split("@")[0]
        if name in LINKER_SYMBOLS:
            continue
        names.append(name)
    mangled = [n for n in names if n.startswith("_Z")]
    demangled = []
    if mangled:
        demangled = subprocess.run([cxxfilt], input="\n".join(mangled) + "\n", check=True,
                                   capture_output=True, text=True).stdout.splitlines()
    c_names = {n for n in names if not n.startswith("_Z")}
    cxx = collections.defaultdict(list)
    for text in demangled:
        cxx[function_name(text)].append(text)
    return c_names, cxx


def read_declarations(include_dir):
    headers = sorted(pathlib.Path(include_dir).rglob("*.h"))
    if not headers:
        raise SystemExit(f"no headers under {include_dir}")
    declared_c, declared_cxx, where = set(), collections.Counter(), {}
    for header in headers:
        for name, in_c in exported_declarations(header):
            if in_c:
                declared_c.add(name)
            else:
                declared_cxx[name] += 1
            where[name] = header.name
    return headers, declared_c, declared_cxx, where


def write_version_script(args):
    _, declared_c, declared_cxx, _ = read_declarations(args.include)
    lines = ["/* Exported symbols of the library, written by exports.py from the public",
             "   headers' VANTO_EXPORT declarations. */", "{", "  global:"]
    lines += [f"    {name};" for name in sorted(declared_c)]
    if declared_cxx:
        # A C++ symbol is matched on its demangled text: the name, then '(' or
        # an ABI tag, then the parameters.
        lines.append('    extern "C++" {')
        lines += [f"      {name}?*;" for name in sorted(declared_cxx)]
        lines.append("    };")
    lines += ["  local:", "    *;", "};", ""]
    text = "\n".join(lines)
    out = pathlib.Path(args.output)
    if not out.exists() or out.read_text() != text:
        out.write_text(text)
    return 0


def check(args):
    headers, declared_c, declared_cxx, where = read_declarations(args.include)
    exported_c, exported_cxx = library_exports(args.nm, args.cxxfilt, args.library)
    errors = []
    for name in sorted(declared_c - exported_c):
        hint = " (it has C++ linkage instead)" if name in exported_cxx else ""
        errors.append(f"{where[name]}: {name} is declared but not exported{hint}")
    for name in sorted(exported_c - declared_c):
        errors.append(f"{name} is exported but no header declares it with VANTO_EXPORT")
    for name in sorted(set(declared_cxx) | set(exported_cxx)):
        want, have = declared_cxx.get(name, 0), exported_cxx.get(name, [])
        if want == len(have):
            continue
        if want == 0:
            errors.extend(f"{sig} is exported but no header declares it with VANTO_EXPORT"
                          for sig in sorted(have))
        else:
            hint = " (it has C linkage instead)" if name in exported_c else ""
            errors.append(f"{where[name]}: C++ function {name}: {want} declared, {len(have)} "
                          f"exported{hint}: {sorted(have)}")

    print(f"{len(headers)} headers declare {len(declared_c)} C and {sum(declared_cxx.values())} "
          f"C++ functions; the library exports {len(exported_c)} C and "
          f"{sum(map(len, exported_cxx.values()))} C++ symbols")
    for error in errors:
        print("error: " + error)
    if errors:
        print(f"{len(errors)} export problem(s)")
        return 1
    print("exports match the headers")
    return 0


def main():
    ap = argparse.ArgumentParser(description="Exported interface of the library.")
    sub = ap.add_subparsers(dest="command", required=True)
    vs = sub.add_parser("version-script", help="write a linker version script")
    vs.add_argument("--include", required=True, help="directory of the public headers")
    vs.add_argument("--output", required=True)
    ck = sub.add_parser("check", help="compare a library's exports with the headers")
    ck.add_argument("--include", required=True, help="directory of the public headers")
    ck.add_argument("--library", required=True)
    ck.add_argument("--nm", default="nm")
    ck.add_argument("--cxxfilt", default="c++filt")
    args = ap.parse_args()
    return write_version_script(args) if args.command == "version-script" else check(args)


if __name__ == "__main__":
    sys.exit(main())
