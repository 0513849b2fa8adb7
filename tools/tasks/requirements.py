"""What the sessions install into the checkout's virtual environments.

    python requirements.py list [EXTRA...]   the build requirements, the run-time
                                             dependencies and the named extras of
                                             pyproject.toml, one a line
    python requirements.py unmet REQ...      those of REQ... not installed in this
                                             interpreter at a matching version

Run by the environment's own interpreter (3.11 or later, for tomllib), so that
`unmet` looks at that environment. It reads version specifiers with the
`packaging` library, or with the copy pip carries when `packaging` is absent.
"""
from __future__ import annotations

import importlib.metadata
import pathlib
import sys
import tomllib

try:
    from packaging.requirements import InvalidRequirement, Requirement
except ImportError:  # a fresh environment has only pip
    from pip._vendor.packaging.requirements import InvalidRequirement, Requirement

PYPROJECT = pathlib.Path(__file__).resolve().parents[2] / "pyproject.toml"


def listed(extras: list[str]) -> list[str]:
    """The requirements that building the package and the given extras need."""
    with PYPROJECT.open("rb") as f:
        config = tomllib.load(f)
    project = config.get("project", {})
    optional = project.get("optional-dependencies", {})
    for extra in extras:
        if extra not in optional:
            # Said, not fatal: the tests that need it skip with their reason.
            print(f"pyproject.toml has no extra {extra!r}: not installed", file=sys.stderr)
    found = list(config.get("build-system", {}).get("requires", []))
    found += project.get("dependencies", [])
    for extra in extras:
        found += optional.get(extra, [])
    return list(dict.fromkeys(found))


def satisfied(text: str) -> bool:
    """Whether `text` (a requirement such as "pytest>=7") is installed here."""
    try:
        requirement = Requirement(text)
    except InvalidRequirement:
        raise SystemExit(f"not a requirement: {text!r}") from None
    if requirement.marker is not None and not requirement.marker.evaluate({"extra": ""}):
        return True  # not meant for this interpreter
    try:
        version = importlib.metadata.version(requirement.name)
    except importlib.metadata.PackageNotFoundError:
        return False
    return requirement.specifier.contains(version, prereleases=True)


def main(argv: list[str]) -> int:
    if len(argv) >= 1 and argv[0] == "list":
        print("\n".join(listed(argv[1:])))
        return 0
    if len(argv) >= 1 and argv[0] == "unmet":
        for text in argv[1:]:
            if not satisfied(text):
                print(text)
        return 0
    print(__doc__.strip(), file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
