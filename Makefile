# Front door. Every target installs what is missing first, and says what it
# is doing; the build itself shows only warnings and errors.
PRESETS ?= win32 win64 native

.PHONY: test build deps run stop sdk bench fuzz clean

test: build
	@for p in $(PRESETS); do scripts/test.sh $$p || exit 1; done

build: deps
	@for p in $(PRESETS); do scripts/build.sh $$p || exit 1; done

run: deps
	@scripts/run.sh $(ARGS)

stop:
	@scripts/run.sh --stop

sdk: deps
	@scripts/sdk.sh

deps:
	@scripts/install-deps.sh

bench: deps
	@scripts/bench.sh

fuzz: deps
	@scripts/fuzz.sh $(SECONDS)

clean:
	rm -rf build dist
