# shellcheck shell=sh
# Shared by the checks of this directory.

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
  others=$(find "$root/usr/bin" -mindepth 1 ! -name quillmere -print)
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

# expect_mode MODE PATH: PATH's permission bits are MODE (octal, e.g. 0640).
expect_mode() {
  mode=$(stat -c %a "$2")
  [ "$mode" = "${1#0}" ] || fail "$2 has mode $mode, wanted $1"
}

# expect_service ROOT PREFIX CONFIG_DIR UNIT_DIR SYSUSERS_DIR: the service files
# installed under ROOT for PREFIX: units naming the program and the settings
# file of that prefix, with systemd-analyze's verdict where it is installed
# (verify, and a security exposure of 4.5 or below), the sysusers.d entry,
# and the settings file readable by its owner and group only.
expect_service() {
  root=$1 prefix=$2 config_dir=$3 unit_dir=$4 sysusers_dir=$5
  unit=$root$unit_dir/quillmere.service
  for path in "$unit" "$root$unit_dir/quillmere.timer" "$root$sysusers_dir/quillmere.conf" \
      "$root$config_dir/logrotate.d/quillmere"; do
    expect_mode 0644 "$path"
  done
  expect_mode 0640 "$root$config_dir/quillmere/quillmere.env"
  grep -q -x -F "ExecStart=$prefix/bin/quillmere" "$unit" ||
    fail "quillmere.service does not start $prefix/bin/quillmere: $(grep ExecStart "$unit")"
  grep -q -x -F "EnvironmentFile=$config_dir/quillmere/quillmere.env" "$unit" ||
    fail "quillmere.service does not read $config_dir/quillmere/quillmere.env"
  grep -q -x 'u quillmere - .* /srv/onboarding' "$root$sysusers_dir/quillmere.conf" ||
    fail "the sysusers.d entry does not make the user quillmere"
  # Every path the service may write is named in the settings file too (a
  # directory or the file a setting names in it).
  for path in $(sed -n 's/^ReadWritePaths=//p' "$unit" | tr ' ' '\n' | sed 's/^-//'); do
    grep -q "=$path\(/[^/]*\)\{0,1\}\$" "$root$config_dir/quillmere/quillmere.env" ||
      [ "$path" = /srv/onboarding/logs ] ||
      fail "ReadWritePaths= names $path, the settings file does not"
  done
  grep -q '^\[Install\]' "$unit" && fail "quillmere.service can be enabled; only the timer may be"
  expect_template "$root" "$prefix" "$config_dir" "$unit_dir"

  command -v systemd-analyze >/dev/null 2>&1 || return 0
  # verify looks for the program at ExecStart=, which is under ROOT here: a
  # copy names the installed one.
  units=$(mktemp -d)
  sed "s|^ExecStart=.*|ExecStart=$root$prefix/bin/quillmere|" "$unit" >"$units/quillmere.service"
  cp "$root$unit_dir/quillmere.timer" "$units/"
  status=0
  (cd "$units" && systemd-analyze verify --man=no quillmere.service quillmere.timer) \
    >"$units/verify.out" 2>&1 || status=$?
  # verify may also have things to say about units it pulls in from the host.
  if [ "$status" -ne 0 ] || grep -E -q 'quillmere\.(service|timer)' "$units/verify.out"; then
    fail "systemd-analyze verify (status $status): $(cat "$units/verify.out")"
  fi
  # The template as well, rated as an instance.
  sed "s|^ExecStart=[^ ]*|ExecStart=$root$prefix/bin/quillmere|" "$root$unit_dir/quillmere@.service" \
    >"$units/quillmere@.service"
  cp "$root$unit_dir/quillmere@.timer" "$units/"
  status=0
  (cd "$units" && systemd-analyze verify --man=no quillmere@.service quillmere@.timer) \
    >"$units/verify.out" 2>&1 || status=$?
  if [ "$status" -ne 0 ] || grep -E -q 'quillmere@' "$units/verify.out"; then
    fail "systemd-analyze verify of the template (status $status): $(cat "$units/verify.out")"
  fi
  # --offline appeared in systemd 250; older ones cannot rate a unit file.
  for rated in "$unit" "$units/quillmere@.service"; do
    systemd-analyze security --offline=yes "$rated" >"$units/security.out" 2>&1 || continue
    exposure=$(sed -n 's/.*Overall exposure level for quillmere[@a-z]*\.service: \([0-9.]*\).*/\1/p' \
      "$units/security.out")
    [ -n "$exposure" ] || fail "no exposure level: $(cat "$units/security.out")"
    awk -v e="$exposure" 'BEGIN { exit !(e <= 4.5) }' ||
      fail "systemd-analyze security rates $(basename "$rated") $exposure, above 4.5"
  done
  rm -rf "$units"
}

# expect_template ROOT PREFIX CONFIG_DIR UNIT_DIR: quillmere@.service runs the
# instance NAME on CONFIG_DIR/quillmere/NAME.env in /srv/onboarding/NAME,
# sandboxed exactly as quillmere.service but for the instance's directories.
expect_template() {
  template=$1$4/quillmere@.service
  expect_mode 0644 "$template"
  expect_mode 0644 "$1$4/quillmere@.timer"
  for line in "ExecStart=$2/bin/quillmere --env-file $3/quillmere/%i.env" \
      "WorkingDirectory=/srv/onboarding/%i"; do
    grep -q -x -F "$line" "$template" || fail "quillmere@.service lacks $line"
  done
  sandbox=$(sed -n '/^ProtectSystem=/,$p' "$1$4/quillmere.service" |
    sed 's|/srv/onboarding/|/srv/onboarding/%i/|g')
  [ "$sandbox" = "$(sed -n '/^ProtectSystem=/,$p' "$template")" ] ||
    fail "quillmere@.service is not sandboxed as quillmere.service is"
}

# shellcheck disable=SC2034 # read by the scripts that source this file
shipped_files="usr/bin/quillmere
usr/share/man/man1/quillmere.1.gz
usr/share/doc/quillmere/README.md
usr/share/doc/quillmere/.env.example
usr/share/doc/quillmere/run-report.schema.json
usr/share/doc/quillmere/copyright
usr/share/doc/quillmere/changelog.gz
usr/share/doc/quillmere/examples/requests/payments.yaml
usr/share/doc/quillmere/examples/requests/OPS-102_staging_web_app.yaml
usr/share/doc/quillmere/contrib/cron/quillmere
usr/share/doc/quillmere/contrib/prometheus/quillmere-rules.yml
usr/share/doc/quillmere/contrib/gitlab-ci/.gitlab-ci.yml
usr/share/doc/quillmere/contrib/gitlab-ci/Containerfile
usr/share/doc/quillmere/contrib/git-hooks/pre-commit
lib/systemd/system/quillmere.service
lib/systemd/system/quillmere.timer
lib/systemd/system/quillmere@.service
lib/systemd/system/quillmere@.timer
usr/lib/sysusers.d/quillmere.conf
etc/quillmere/quillmere.env
etc/logrotate.d/quillmere"

# Shipped files that must stay executable, to be copied as they are.
# shellcheck disable=SC2034 # read by the scripts that source this file
shipped_executables="usr/share/doc/quillmere/contrib/git-hooks/pre-commit"
