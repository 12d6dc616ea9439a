"""The operations as the command line names them: finding one by name,
listing and describing them, and reading `key=value` keywords."""

import ast
import difflib
import inspect

EXIT_FAILED, EXIT_USAGE, EXIT_INTERRUPTED = 1, 2, 130


class UsageError(Exception):
    """A command line that cannot be run; the message says why."""


def functions():
    """{name: checked function} of every operation that `apply` accepts, in the tools' order."""
    from pictor.functions import image_functions

    return image_functions()


def documented():
    """{name: checked function} of every operation `list` and `doc` describe:
    those of `apply` and the volume filters (pictor.gaussian_filter, ...)."""
    from pictor.volumes import volume_functions

    return {**functions(), **volume_functions()}


def first_sentence(text):
    flat = " ".join(text.split())
    end = flat.find(". ")
    return flat if end < 0 else flat[:end + 1]


def describe_call(function):
    keywords = ", ".join(k.name if k.default is inspect.Parameter.empty else "{}={!r}".format(k.name, k.default)
                         for k in function.keywords.values())
    return "{}({})".format(function.__name__, keywords)


def suggestion(name, choices):
    close = difflib.get_close_matches(name, list(choices), n=1)
    return "; did you mean '{}'?".format(close[0]) if close else ""


# ---------------------------------------------------------------- list, doc

def mentioning(word):
    """The functions whose own words (name, description, full-depth recipe,
    keywords) have WORD, in any case, not the paragraphs all of them share;
    first those that take it as a keyword's value (threshold for "otsu")."""
    word = word.lower()
    found = [function for function in documented().values() if word in " ".join(function.own_words.split()).lower()]
    return sorted(found, key=lambda function: not choice_of(function, word))


def choice_of(function, word):
    """'method="otsu"' when WORD is one of the function's keyword values, else ''."""
    for keyword in function.keywords.values():
        if word in (keyword.choices or ()):
            return "{}={!r}".format(keyword.name, word)
    return ""


def origin(function):
    """Where the function comes from: its tool method, or its private module."""
    if function.tool_method is None:
        return "the function {}".format(function.native)
    cls, name = function.tool_method
    return "the tool method {}.{}".format(cls.__name__, name)


def command_list(options):
    listed = mentioning(options.word) if options.word else list(documented().values())
    if not listed:
        raise UsageError("no operation mentions '{}' (see 'pictor list')".format(options.word))
    for function in listed:
        mark = " [8-bit result]" if function.eight_bit_copy and not function.full_depth else ""
        print("{}{}: {}".format(describe_call(function), mark, first_sentence(function.__doc__)))
    return 0


def command_doc(options):
    try:
        function = resolve_function(options.operation)
    except UsageError:
        found = mentioning(options.operation)
        if found and choice_of(found[0], options.operation.lower()):
            found = found[:1]
        if len(found) != 1:
            if found:
                raise UsageError("'{}' is mentioned by {}: say which".format(
                    options.operation, ", ".join(function.__name__ for function in found))) from None
            raise
        function = found[0]
    chosen = "{}({})".format(function.__name__, choice_of(function, options.operation.lower()))
    call = describe_call(function)
    if chosen != call and not chosen.endswith("()"):  # the word asked for is a keyword's value other than its default
        print("pictor.{}\n".format(chosen))
    print("pictor.{}\n({})\n".format(call, origin(function)))
    print(function.__doc__)
    return 0


# ---------------------------------------------------------------- checks before any file is read

def resolve_function(operation):
    """The checked function for `method` or `Tool.method`, or a volume filter's by its name."""
    available = documented()
    tool_name, _, method_name = operation.rpartition(".")
    function = available.get(method_name)
    if function is not None and tool_name in ("", _tool_name(function)):
        return function
    names = list(available) + ["{}.{}".format(_tool_name(f), n) for n, f in available.items() if f.tool_method]
    raise UsageError("unknown operation '{}'{} (see 'pictor list')".format(operation, suggestion(operation, names)))


def _tool_name(function):
    """The tool class whose method the function is ("" for the volume filters)."""
    return function.tool_method[0].__name__ if function.tool_method else ""


# One run of `pictor apply` can apply a chain: steps separated by '|', each a
# name followed by its own key=value words, e.g. "auto_level | gaussian_blur ksize=5".
STEP_SEPARATOR = "|"


def is_chain(operation):
    return STEP_SEPARATOR in operation


def resolve_chain(operation, depth=None):
    """The pipeline that the text names, every step and keyword checked;
    depth ('full' or 'working'), when given, for every step that has the choice."""
    import shlex

    from pictor.pipeline import pipeline

    steps = []
    for position, text in enumerate(operation.split(STEP_SEPARATOR), 1):
        try:
            words = shlex.split(text)
        except ValueError as error:
            raise UsageError("step {}: {}".format(position, error)) from None
        if not words:
            raise UsageError("step {} of '{}' is empty".format(position, operation))
        try:
            function = resolve_function(words[0])
            keywords = parse_keywords(words[1:], function)
            if depth and function.full_depth:
                keywords["depth"] = depth
            steps.append((function.__name__, keywords))
        except UsageError as error:
            raise UsageError("step {} ({}): {}".format(position, words[0], error)) from None
    return pipeline(*steps)


def parse_keywords(assignments, function):
    values = {}
    for assignment in assignments:
        key, separator, text = assignment.partition("=")
        if not separator:
            raise UsageError("expected key=value, got '{}'".format(assignment))
        if key not in function.keywords:
            known = ", ".join(function.keywords) or "none"
            raise UsageError("{} has no keyword '{}'{} (keywords: {})".format(
                function.__name__, key, suggestion(key, function.keywords), known))
        if key in values:
            raise UsageError("keyword '{}' given twice".format(key))
        bare = False
        try:
            value = ast.literal_eval(text)
        except (ValueError, SyntaxError):
            # A bare word (depth=working) is the text itself where the keyword takes text.
            bare, value = True, text
        try:
            function.keywords[key].check(function.__name__, value)
        except (TypeError, ValueError) as error:
            if bare:
                raise UsageError("keyword '{}': '{}' is not a Python literal".format(key, text)) from None
            raise UsageError(str(error)) from None
        values[key] = value
    return values


def one_line(error):
    text = " ".join(str(error).split()) or type(error).__name__
    if isinstance(error, OSError) and error.strerror:
        text = error.strerror
    return text if isinstance(error, (OSError, ValueError)) else "{}: {}".format(type(error).__name__, text)
