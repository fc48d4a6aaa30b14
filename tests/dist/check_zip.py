#!/usr/bin/env python3
"""Checks the MATLAB archive as a user would find it:
    check_zip.py ZIP VERSION BUILD
Every platform built in BUILD has its folder, holding each function's
binary under the platform's file name and its help file; Contents.m lists
exactly the shipped functions, with the version; README.md and LICENSE are
there. Nothing else is in the archive."""
import os, re, sys, zipfile

archive, version, build = sys.argv[1:4]
top = "zebmex-%s-matlab/" % version
# The functions per platform, as the README's platform table names them.
expected = {
    "mexa64": ["trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"],
    "mexglx": ["trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"],
    "mexw64": ["trellisPass", "zebUtilLogTotals", "zebUtilObliqueVote", "cumsumInt"],
    "mexw32": ["trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"],
    "mexmaci64": ["trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"],
    "mexmaca64": ["trellisPass", "logTotals", "zebUtilObliqueVote", "cumsumInt"],
}
names = set(zipfile.ZipFile(archive).namelist())
z = zipfile.ZipFile(archive)
want = {top + "README.md", top + "LICENSE"}
failures = []
for platform, functions in expected.items():
    if not os.path.isdir(os.path.join(build, platform)):
        print("%-10s not built here, not expected" % platform)
        continue
    for f in functions:
        want |= {top + "%s/%s.%s" % (platform, f, platform), top + "%s/%s.m" % (platform, f)}
    contents = top + platform + "/Contents.m"
    want.add(contents)
    if contents in names:
        text = z.read(contents).decode()
        listed = re.findall(r"^%\s+(\w+)\s+-", text, re.M)
        if sorted(listed) != sorted(functions):
            failures.append("%s lists %s" % (contents, listed))
        if not re.search(r"^%% Version %s\b" % re.escape(version), text, re.M):
            failures.append("%s does not give version %s" % (contents, version))
    print("%-10s %d functions, help files and Contents.m" % (platform, len(functions)))
for n in sorted(want - names):
    failures.append("missing: " + n)
for n in sorted(names - want):
    failures.append("not expected: " + n)
if "BSD 3-Clause" not in z.read(top + "LICENSE").decode() if top + "LICENSE" in names else True:
    failures.append("LICENSE is not the BSD 3-Clause licence")
for f in failures:
    print("FAIL " + f)
sys.exit(1 if failures else 0)
