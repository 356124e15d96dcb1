# demo: build the module for CPython 3.15 and columnarize a sample payload.
# test: build and run every test (C++, sanitizers, pytest and install tests on each interpreter).
# wheels: the sdist and a manylinux wheel per interpreter into dist/.
# windows-check: the C++ suite cross-built with MinGW-w64 and run under Wine.
.PHONY: demo test wheels module bench clean windows-check
PY ?= 3.15

demo:
	tools/demo

test:
	tools/run-tests

wheels:
	tools/build-wheels

bench:
	tools/run-bench

windows-check:
	tools/windows-check

module:
	tools/install-deps
	tools/provision-python >/dev/null
	tools/build-module $(PY)

clean:
	rm -rf build dist
