# demo: build the module for CPython 3.15 and columnarize a sample payload.
# test: build and run every test (C++, sanitizers, pytest on each interpreter).
.PHONY: demo test module bench clean
PY ?= 3.15

demo:
	tools/demo

test:
	tools/run-tests

bench:
	tools/run-bench

module:
	tools/install-deps
	tools/provision-python >/dev/null
	tools/build-module $(PY)

clean:
	rm -rf build
