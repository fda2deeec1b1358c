"""The unquoted-executable rule written out by hand, without a regex engine,
as exe_oracle.h has it for C++: what a repair must write, for every Python
suite.  What counts as white space is the caller's: under Wine, the
platform's own character types, which the program follows too."""


def split(text, is_space):
    """(group 1, group 2) when the text needs the quotes, else None.

    Group 1 ends at the last ".exe" (any letter case) that has white space
    and no double quote before it and no line feed or carriage return after
    it; a text that starts with a double quote never matches."""
    if text.startswith('"'):
        return None
    for end in range(len(text), 3, -1):
        if text[end - 4] != '.' or text[end - 3] not in 'eE' or text[end - 2] not in 'xX' or \
                text[end - 1] not in 'eE':
            continue
        before, after = text[:end - 4], text[end:]
        if '\n' in after or '\r' in after:
            return None   # every earlier .exe has the same break after it
        if '"' not in before and any(is_space(c) for c in before):
            return text[:end], text[end:]
    return None


def repair(text, is_space):
    """The text as a repair must write it back, or None where it must stay."""
    groups = split(text, is_space)
    return None if groups is None else '"%s"%s' % groups
