# The two commands of the README: `make demo` (build, install, run the quickstart)
# and `make test` (build and run every test). Both create .venv with CPython 3.12
# unless a 3.12 virtualenv is already active.

ifdef VIRTUAL_ENV
VENV := $(VIRTUAL_ENV)
else
VENV := $(CURDIR)/.venv
endif
PY := $(VENV)/bin/python
PIP := $(PY) -m pip --disable-pip-version-check
export PATH := $(VENV)/bin:$(PATH)
JOBS ?= 2

BUILD_DEPS := "scikit-build-core>=0.9" "boost-headers>=1.85" "cmake>=3.21" ninja
CPP_BUILD := build/cpp
CMAKE_COMMON := -G Ninja -DPython_EXECUTABLE=$(PY) -DKOVRA_WERROR=ON

.PHONY: demo test test-cpp test-python venv deps sanitize fuzz fuzz-ci bench bench-quick sweep clean \
  lint-deps lint format

demo: venv
	$(PIP) install .
	$(PY) examples/quickstart.py

test: test-cpp test-python

venv: $(PY)

$(PY):
	"$$(sh tools/find_python.sh)" -m venv "$(VENV)"

deps: venv
	$(PIP) install -q $(BUILD_DEPS) "pytest>=7" "hypothesis>=6" "numpy>=2"

test-cpp: deps
	cmake -S . -B $(CPP_BUILD) $(CMAKE_COMMON) -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TESTS=ON
	cmake --build $(CPP_BUILD) -j $(JOBS)
	ctest --test-dir $(CPP_BUILD) --output-on-failure

test-python: deps
	$(PIP) install -q --no-build-isolation -Ccmake.define.KOVRA_WERROR=ON \
	  -Cbuild-dir=build/module ".[test]"
	$(PY) -m pytest -q

# AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer over ctest and pytest.
sanitize: deps
	PYTHON=$(PY) bash tools/sanitize.sh

# libFuzzer over the document reader and the node record parser (needs clang).
FUZZ_SECONDS ?= 600
fuzz: deps
	PYTHON=$(PY) bash fuzz/run.sh $(FUZZ_SECONDS)

fuzz-ci: deps
	bash tools/ensure_clang.sh
	PYTHON=$(PY) bash fuzz/run.sh 60

bench: deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=build/module .
	$(PY) benchmarks/run.py

bench-quick: deps
	$(PIP) install -q --no-build-isolation -Cbuild-dir=build/module .
	$(PY) benchmarks/run.py --quick

# Every finite binary32 size through the writer's text and the reader's number
# procedure (several minutes; not part of `make test`).
sweep: deps
	cmake -S . -B build/tools $(CMAKE_COMMON) -DKOVRA_BUILD_MODULE=OFF -DKOVRA_BUILD_TOOLS=ON
	cmake --build build/tools -j $(JOBS) --target sweep_float32
	build/tools/tools/sweep_float32

# Formatting and lint, with the tool versions pinned in pyproject.toml's `lint` extra.
# `make format` rewrites the files; `make lint` fails on any difference or finding.
CPP_SOURCES = $(shell find src tests/cpp fuzz tools -name '*.cpp' -o -name '*.h' | sort)
PY_SOURCES := tests benchmarks examples tools
LINT_PINS = $(shell $(PY) -c 'import tomllib; \
  print(" ".join(tomllib.load(open("pyproject.toml", "rb"))["project"]["optional-dependencies"]["lint"]))')

lint-deps: venv
	$(PIP) install -q $(LINT_PINS)

format: lint-deps
	$(VENV)/bin/clang-format -i $(CPP_SOURCES)
	$(VENV)/bin/ruff check --fix $(PY_SOURCES)

lint: lint-deps
	$(VENV)/bin/clang-format --dry-run --Werror $(CPP_SOURCES)
	$(VENV)/bin/ruff check $(PY_SOURCES)

clean:
	rm -rf build build-* dist *.egg-info .pytest_cache .hypothesis
