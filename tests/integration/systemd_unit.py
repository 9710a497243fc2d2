"""A service's command line and environment as systemd makes them from its unit file and the environment
files the unit names: Environment= first, then each EnvironmentFile= in order (a later assignment wins),
then ExecStart= split into words, "$VAR" as a word of its own replaced by the variable's value split at
blanks (quotes in the value taken away), "${VAR}" inside a word replaced by the whole value, "$$" a dollar.
Only what the project's units use is understood: no specifiers (%), one ExecStart."""
import re
import shlex

NAME = r"[A-Za-z_][A-Za-z0-9_]*"


def read_unit(text):
    """{section: [(key, value), ...]} of a unit file; continuation lines joined, comments dropped."""
    sections, current, pending = {}, None, ""
    for raw in text.splitlines():
        line = pending + raw.strip() if pending else raw.strip()
        pending = ""
        if not line or line[0] in "#;":
            continue
        if line.endswith("\\"):
            pending = line[:-1] + " "
            continue
        if line.startswith("[") and line.endswith("]"):
            current = sections.setdefault(line[1:-1], [])
            continue
        key, _, value = line.partition("=")
        current.append((key.strip(), value.strip()))
    return sections


def read_environment_file(text):
    """Assignments of an environment file, as systemd reads it: KEY=VALUE lines, '#' and ';' comments,
    a value in single quotes taken as it is, one in double quotes with backslash escapes, an unquoted one
    with backslash escapes and without trailing blanks; a backslash at a line's end continues it."""
    env = {}
    for line in re.sub(r"\\\n", "", text).splitlines():
        line = line.lstrip()
        if not line or line[0] in "#;":
            continue
        key, sep, rest = line.partition("=")
        key = key.strip()
        if not sep or not re.fullmatch(NAME, key):
            continue
        env[key] = _value(rest.lstrip())
    return env


def _value(text):
    out, i, quoted_end = [], 0, 0
    while i < len(text):
        c = text[i]
        if c == "'" and not out:
            end = text.find("'", i + 1)
            end = len(text) if end < 0 else end
            out.append(text[i + 1:end])
            i = end + 1
            quoted_end = len("".join(out))
            continue
        if c == '"' and not out:
            i += 1
            while i < len(text) and text[i] != '"':
                if text[i] == "\\" and i + 1 < len(text) and text[i + 1] in '"\\`$':
                    i += 1
                out.append(text[i])
                i += 1
            i += 1
            quoted_end = len("".join(out))
            continue
        if c == "\\" and i + 1 < len(text):
            i += 1
            c = text[i]
        out.append(c)
        i += 1
    value = "".join(out)
    # Trailing blanks of the unquoted part go.
    return value[:quoted_end] + value[quoted_end:].rstrip()


def environment(unit_text, files):
    """The service's environment: `files` maps each EnvironmentFile= path to its text (a missing file
    that the unit marks with '-' is left out)."""
    service = read_unit(unit_text).get("Service", [])
    env = {}
    for key, value in service:
        if key == "Environment":
            for word in shlex.split(value):
                name, _, val = word.partition("=")
                env[name] = val
    for key, value in service:
        if key == "EnvironmentFile":
            path = value[1:] if value.startswith("-") else value
            if path in files:
                env.update(read_environment_file(files[path]))
            elif not value.startswith("-"):
                raise FileNotFoundError(path)
    return env


def environment_files(unit_text):
    """The EnvironmentFile= paths, without the '-' that makes a file optional."""
    return [v.lstrip("-") for k, v in read_unit(unit_text).get("Service", []) if k == "EnvironmentFile"]


def exec_start(unit_text, env):
    """ExecStart= as the words systemd executes."""
    lines = [v for k, v in read_unit(unit_text).get("Service", []) if k == "ExecStart"]
    if len(lines) != 1:
        raise ValueError("one ExecStart= expected, found %d" % len(lines))
    line = lines[0].lstrip("-@:+!")
    words = []
    for word in shlex.split(line):
        whole = re.fullmatch(r"\$(" + NAME + ")", word)
        if whole:
            words.extend(shlex.split(env.get(whole.group(1), "")))
            continue
        word = re.sub(r"\$\{(" + NAME + r")\}", lambda m: env.get(m.group(1), ""), word)
        words.append(word.replace("$$", "$"))
    return words
