#!/usr/bin/env python3
"""Checks the CI workflow and the msvc preset it uses, which only GitHub's runners run.

Usage: CheckWorkflow.py <repository root>

Checked: the workflow runs on pushes of v* tags; the windows job configures, builds and
tests with the msvc preset on windows-latest and uploads the brindle.exe that preset
builds, then runs brindle --check there (failing unless every protection holds) and keeps
its report as an artifact even when one does not; the linux job runs scripts/test in a Debian 12 container; the release job runs
only for v* tags, after both, may write the repository's contents, runs scripts/package
in Debian 12 and attaches dist/* to the release. The msvc preset builds Release with
Visual Studio 2022 for x64 against the static C runtime.
"""

import json
import os
import sys

import yaml

failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
    return condition


def runs(job):
    return [step.get("run", "") for step in job.get("steps", [])]


def uses(job, action):
    return [step for step in job.get("steps", []) if step.get("uses") == action]


def has_run(job, command):
    return any(command in line.split("\n") for line in (r.strip() for r in runs(job)))


def container_image(job):
    container = job.get("container")
    return container.get("image") if isinstance(container, dict) else container


def preset(presets, kind, name):
    found = [p for p in presets.get(kind, []) if p.get("name") == name]
    return found[0] if found else {}


def check_msvc_preset(root):
    """Returns where the msvc preset puts brindle.exe, relative to the repository."""
    with open(os.path.join(root, "CMakePresets.json"), encoding="utf-8") as f:
        presets = json.load(f)
    configure = preset(presets, "configurePresets", "msvc")
    check(configure.get("generator") == "Visual Studio 17 2022", "msvc preset: generator")
    architecture = configure.get("architecture")
    if isinstance(architecture, dict):
        architecture = architecture.get("value")
    check(architecture == "x64", "msvc preset: architecture")
    check(configure.get("cacheVariables", {}).get("CMAKE_MSVC_RUNTIME_LIBRARY")
          == "MultiThreaded$<$<CONFIG:Debug>:Debug>", "msvc preset: static C runtime")
    for kind in ["buildPresets", "testPresets"]:
        found = preset(presets, kind, "msvc")
        check(found.get("configurePreset") == "msvc", f"msvc {kind}: configure preset")
        check(found.get("configuration") == "Release", f"msvc {kind}: configuration Release")
    binary_dir = configure.get("binaryDir", "").replace("${sourceDir}/", "")
    # A Visual Studio build puts each configuration's programs in a folder of its own.
    return f"{binary_dir}/Release/brindle.exe"


def check_machine_check(windows, exe_path):
    """The windows job runs brindle --check on real Windows after the tests, where its exit
    status fails the job unless every protection holds, and keeps its report even then."""
    steps = windows.get("steps", [])
    command = f"{exe_path} --check --report=check.json"
    runs_check = [i for i, step in enumerate(steps) if command in str(step.get("run", "")).split("\n")]
    if not check(bool(runs_check), f"windows job: does not run '{command}'"):
        return
    check(not steps[runs_check[0]].get("continue-on-error"), "windows job: a protection that does not hold is ignored")
    tests = [i for i, step in enumerate(steps) if "ctest --preset msvc" in str(step.get("run", ""))]
    check(bool(tests) and tests[0] < runs_check[0], "windows job: the check runs before the tests")
    kept = [step for step in steps[runs_check[0] + 1:] if step.get("uses") == "actions/upload-artifact@v4"
            and (step.get("with") or {}).get("path") == "check.json"]
    check(bool(kept), "windows job: does not upload check.json after the check")
    check(all("always()" in str(step.get("if", "")) or "!cancelled()" in str(step.get("if", "")) for step in kept),
          "windows job: the check's report is lost when a protection does not hold")


def main():
    root = os.path.abspath(sys.argv[1])
    with open(os.path.join(root, ".github", "workflows", "ci.yml"), encoding="utf-8") as f:
        workflow = yaml.safe_load(f)
    # YAML 1.1, which PyYAML reads, takes the bare key "on" for the boolean true.
    triggers = workflow.get("on", workflow.get(True)) or {}
    check("v*" in ((triggers.get("push") or {}).get("tags") or []), "the workflow does not run on v* tags")
    jobs = workflow.get("jobs") or {}
    for name in ["windows", "linux", "release"]:
        check(name in jobs, f"no {name} job")
    windows, linux, release = (jobs.get(name) or {} for name in ["windows", "linux", "release"])

    exe_path = check_msvc_preset(root)
    check(windows.get("runs-on") == "windows-latest", "windows job: runs-on")
    check(bool(uses(windows, "actions/checkout@v4")), "windows job: no checkout")
    for command in ["cmake --preset msvc", "cmake --build --preset msvc", "ctest --preset msvc"]:
        check(has_run(windows, command), f"windows job: does not run '{command}'")
    uploads = uses(windows, "actions/upload-artifact@v4")
    check(any((step.get("with") or {}).get("path") == exe_path for step in uploads),
          f"windows job: does not upload {exe_path}")
    check_machine_check(windows, exe_path)

    check(linux.get("runs-on") == "ubuntu-latest", "linux job: runs-on")
    check(container_image(linux) == "debian:12", "linux job: not in debian:12")
    check(bool(uses(linux, "actions/checkout@v4")), "linux job: no checkout")
    check(has_run(linux, "scripts/test"), "linux job: does not run scripts/test")

    check(sorted(release.get("needs") or []) == ["linux", "windows"], "release job: needs windows and linux")
    check("startsWith(github.ref, 'refs/tags/v')" in str(release.get("if", "")), "release job: not only for v* tags")
    check((release.get("permissions") or {}).get("contents") == "write", "release job: cannot write contents")
    check(container_image(release) == "debian:12", "release job: not in debian:12")
    check(bool(uses(release, "actions/checkout@v4")), "release job: no checkout")
    check(has_run(release, "scripts/package"), "release job: does not run scripts/package")
    publish = uses(release, "softprops/action-gh-release@v2")
    check(any((step.get("with") or {}).get("files") == "dist/*" for step in publish),
          "release job: does not attach dist/* to the release")

    for failure in failures:
        print("FAIL:", failure)
    if failures:
        return 1
    print("workflow: all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
