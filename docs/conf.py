# Sphinx configuration of the documentation site; scripts/docs.sh builds it.
import os
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent / "_ext"))

project = "quelvant_rs"
author = "quelvant_rs developers"
copyright = "quelvant_rs developers"

extensions = ["myst_parser", "sphinx.ext.napoleon", "stubdoc", "standin_answers"]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_ext", "_included"]
myst_heading_anchors = 3

# Every cross-reference must resolve, so a renamed method cannot leave a dead link behind;
# only the stubs' private helpers and one standard-library type have no page here.
nitpicky = True
nitpick_ignore_regex = [("py:class", r"_WaitLimit|_SessionTimeout|_ErrorReplies|_T|TracebackType")]

html_theme = "furo"
html_title = "quelvant_rs"

# The generated type stubs the reference is made from (scripts/docs.sh sets this).
stub_dir = os.environ.get("QUELVANT_STUB_DIR", "")
