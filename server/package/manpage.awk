# Writes the manual page oramet-timed(8) from server/README.md, so that the
# option table and its notes are written once:
#   awk -v version=2.07 -f manpage.awk README.md > oramet-timed.8
# The README's opening (up to the first "## ") becomes DESCRIPTION, "Running"
# becomes OPTIONS and "Deployment" DEPLOYMENT; other sections stay out. Within
# them it knows what the README uses: paragraphs, "- " lists, tables (first
# column the tag; a column headed "default" is added as "Default: ..."),
# indented code, `code` and **bold**.

# Markdown inline text to roff: `code` and **bold** in bold, roff's special
# characters escaped.
function inline(s,   out, i, c, bold) {
    out = ""; bold = 0
    for (i = 1; i <= length(s); i++) {
        c = substr(s, i, 1)
        if (c == "`" || (c == "*" && substr(s, i + 1, 1) == "*")) {
            out = out (bold ? "\\fR" : "\\fB"); bold = !bold
            if (c == "*") i++
        } else if (c == "\\") out = out "\\e"
        else if (c == "-") out = out "\\-"
        else out = out c
    }
    if (bold) out = out "\\fR"
    return out
}

# A table's tag cell: in each `code` span the first word is the option (bold),
# the rest its argument (italic).
function tag(s,   out, parts, n, i, sp) {
    if (index(s, "`") == 0) return inline(s)
    out = ""
    n = split(s, parts, "`")
    for (i = 1; i <= n; i++) {
        if (i % 2) { out = out inline(parts[i]); continue }
        sp = index(parts[i], " ")
        if (sp == 0) out = out "\\fB" inline(parts[i]) "\\fR"
        else out = out "\\fB" inline(substr(parts[i], 1, sp - 1)) "\\fR \\fI" inline(substr(parts[i], sp + 1)) "\\fR"
    }
    return out
}

# A roff text line must not start with a control character.
function text(s) {
    if (s ~ /^[.']/) s = "\\&" s
    print s
}

function trim(s) { sub(/^[ \t]+/, "", s); sub(/[ \t]+$/, "", s); return s }

function cells(line, arr,   n, i) {
    sub(/^[ \t]*\|/, "", line); sub(/\|[ \t]*$/, "", line)
    n = split(line, arr, "|")
    for (i = 1; i <= n; i++) arr[i] = trim(arr[i])
    return n
}

function flush() {
    if (para != "") {
        if (mode == "item") print ".IP \\(bu 2"; else print ".PP"
        text(inline(para))
    }
    para = ""; mode = ""
}

function section(name) {
    flush(); print ".SH " name
}

BEGIN {
    print "'\\\" -*- coding: UTF-8 -*-"
    print ".\\\" Generated from server/README.md by manpage.awk; edit the README instead."
    print ".TH ORAMET\\-TIMED 8 \"\" \"oramet\\-timed " version "\" \"System Administration\""
    print ".nh"
    print ".ad l"
    print ".SH NAME"
    print "oramet\\-timed \\- time server for the Oramet clock-sync client"
    print ".SH SYNOPSIS"
    print ".B oramet\\-timed"
    print "[\\fB\\-\\-config\\fR \\fIFILE\\fR] [\\fIoption\\fR ...]"
    keep = 0
}

/^# / { section("DESCRIPTION"); keep = 1; next }
/^## / {
    flush(); keep = 0
    if ($0 == "## Running") { section("OPTIONS"); keep = 1 }
    else if ($0 == "## Deployment") { section("DEPLOYMENT"); keep = 1 }
    next
}
!keep { next }

# Tables: the header row names the columns, the rule row is skipped.
/^\|/ {
    n = cells($0, row)
    if (!intable) {
        flush(); intable = 1; header = 1; defcol = 0
        for (i = 1; i <= n; i++) if (tolower(row[i]) == "default") defcol = i
        next
    }
    if (row[1] ~ /^[-: ]+$/) next
    body = ""
    for (i = 2; i <= n; i++) if (i != defcol && row[i] != "") body = body (body == "" ? "" : " ") inline(row[i])
    if (defcol && row[defcol] != "") body = body (body ~ /[.)]$/ ? "" : ".") " Default: " inline(row[defcol]) "."
    if (row[1] != "") { print ".TP"; text(tag(row[1])) } else print ".br"
    text(body)
    next
}
{ intable = 0 }

# Indented code.
/^    / && para == "" {
    if (!incode) { print ".PP"; print ".RS 4"; print ".nf"; incode = 1 }
    line = substr($0, 5)
    text(inline(line))
    next
}
incode { print ".fi"; print ".RE"; incode = 0 }

/^```/ { next }
/^[ \t]*$/ { flush(); next }
/^- / { flush(); mode = "item"; para = substr($0, 3); next }
{ para = para (para == "" ? "" : " ") trim($0) }

END {
    flush()
    if (incode) { print ".fi"; print ".RE" }
    print ".SH FILES"
    print ".TP"
    print ".I /etc/oramet\\-timed.conf"
    print "settings, one \\fIkey\\fR = \\fIvalue\\fR line per option"
    print ".TP"
    print ".I /usr/share/doc/oramet\\-timed/README.md"
    print "the full description, from which this page is made"
    print ".SH SEE ALSO"
    print ".BR systemctl (1),"
    print ".BR journalctl (1)"
}
