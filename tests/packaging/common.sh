# Shared by check-install and check-deb.

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# expect_files ROOT PATH...: every PATH is a regular file under ROOT.
expect_files() {
  root=$1
  shift
  for path in "$@"; do
    [ -f "$root/$path" ] || fail "$path is not installed"
  done
}

# expect_executables ROOT: every path of shipped_executables is executable.
expect_executables() {
  for path in $shipped_executables; do
    [ -x "$1/$path" ] || fail "$path is not executable"
  done
}

# expect_only_program ROOT: bin/ holds quillmere and nothing else, and no
# stand-in, helper, library or header is shipped anywhere.
expect_only_program() {
  root=$1
  [ -x "$root/usr/bin/quillmere" ] || fail "usr/bin/quillmere is not an executable"
  others=$(ls -A "$root/usr/bin" | grep -v -x quillmere || true)
  [ -z "$others" ] || fail "usr/bin holds more than the program: $others"
  extra=$(find "$root" \( -name '*standin*' -o -name '*demo-report*' -o -name '*measure*' \
            -o -name '*.a' -o -name '*.so*' -o -name '*.h' \) -print)
  [ -z "$extra" ] || fail "shipped what must stay in the build tree: $extra"
}

# expect_runs PROGRAM SCRATCH: the program starts, reads its environment and
# .env, and stops with the documented fatal errors (nothing is contacted).
expect_runs() {
  program=$1
  run=$2/run
  mkdir -p "$run"
  # GITLAB_TOKEN set empty in the environment: a stray .env above the scratch
  # directory cannot supply one, since the environment wins.
  status=0
  (cd "$run" && env -i PATH=/usr/bin:/bin HOME="$run" GITLAB_TOKEN= "$program") \
    >"$run/out" 2>"$run/err" || status=$?
  [ "$status" -eq 1 ] || fail "without a token: exit status $status, wanted 1"
  grep -q -- " - ERROR - Fatal error: ❌ GITLAB_TOKEN not set$" "$run/err" ||
    fail "without a token: no fatal error on stderr: $(cat "$run/err")"
  grep -q -- "Fatal error: ❌ GITLAB_TOKEN not set" "$run/logs/onboarding.log" ||
    fail "without a token: the fatal error is not in logs/onboarding.log"

  # A token from .env: now the other required settings are what is missing.
  printf 'GITLAB_TOKEN="from-dotenv"\n' >"$run/.env"
  status=0
  (cd "$run" && env -i PATH=/usr/bin:/bin HOME="$run" "$program") \
    >"$run/out" 2>"$run/err" || status=$?
  [ "$status" -eq 1 ] || fail "with a token only: exit status $status, wanted 1"
  grep -q -- "Fatal error: Missing required env vars: REPO_PATH, YAML_DIR, GITLAB_URL, PROJECT_ID, GIT_COMMITTER_EMAIL$" "$run/err" ||
    fail "with a token only: wrong fatal error: $(cat "$run/err")"
  if grep -q from-dotenv "$run/err" "$run/logs/onboarding.log"; then
    fail "the token was logged"
  fi
}

shipped_files="usr/bin/quillmere
usr/share/man/man1/quillmere.1.gz
usr/share/doc/quillmere/README.md
usr/share/doc/quillmere/.env.example
usr/share/doc/quillmere/run-report.schema.json
usr/share/doc/quillmere/examples/requests/payments.yaml
usr/share/doc/quillmere/examples/requests/OPS-102_staging_web_app.yaml
usr/share/doc/quillmere/contrib/systemd/quillmere.service
usr/share/doc/quillmere/contrib/systemd/quillmere.timer
usr/share/doc/quillmere/contrib/cron/quillmere
usr/share/doc/quillmere/contrib/logrotate/quillmere
usr/share/doc/quillmere/contrib/prometheus/quillmere-rules.yml
usr/share/doc/quillmere/contrib/gitlab-ci/.gitlab-ci.yml
usr/share/doc/quillmere/contrib/git-hooks/pre-commit"

# Shipped files that must stay executable, to be copied as they are.
shipped_executables="usr/share/doc/quillmere/contrib/git-hooks/pre-commit"
