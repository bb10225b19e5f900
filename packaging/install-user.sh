#!/bin/sh
# Registers the token host with the browsers of the current user, without root:
# writes the native-messaging manifests into the per-user folders of Chrome,
# Chromium and Firefox. With --uninstall, removes them again.
set -eu

NATIVE_HOST_NAME="com.tokenhost.native"
DEMO_CHROME_ID="mcbdpadjgapfofhdbloaelgnfgjlihgl"
DEMO_FIREFOX_ID="token-host-demo@example.com"

usage() {
    cat <<EOF
Usage: $0 [--host PATH] [--chrome-id ID]... [--firefox-id ID]... [--browser NAME]... [--uninstall]

  --host PATH        the installed token host (default: the host installed beside this script)
  --chrome-id ID     a Chrome/Chromium extension id allowed to start the host (repeatable;
                     default: the demo extension, $DEMO_CHROME_ID)
  --firefox-id ID    a Firefox extension id allowed to start the host (repeatable;
                     default: the demo extension, $DEMO_FIREFOX_ID)
  --browser NAME     chrome, chromium or firefox (repeatable; default: all three)
  --uninstall        remove the manifests instead of writing them
EOF
}

die() {
    echo "$0: $*" >&2
    exit 1
}

script_dir=$(CDPATH= cd -- "$(dirname -- "$0")" && pwd)
config_home=${XDG_CONFIG_HOME:-$HOME/.config}

# Where each browser looks for the current user's manifests.
manifest_dir() {
    case "$1" in
        chrome) echo "$config_home/google-chrome/NativeMessagingHosts" ;;
        chromium) echo "$config_home/chromium/NativeMessagingHosts" ;;
        firefox) echo "$HOME/.mozilla/native-messaging-hosts" ;;
    esac
}

# Installed layout: <prefix>/share/token-host/{install-user.sh,manifests/} and
# <prefix>/libexec/token-host/token-host. In the source tree the templates sit
# beside this script and there is no default host.
template_dir() {
    if [ -d "$script_dir/manifests" ]; then echo "$script_dir/manifests"; else die "manifest templates not found beside $0"; fi
}

default_host() {
    candidate="$script_dir/../../libexec/token-host/token-host"
    [ -x "$candidate" ] && (CDPATH= cd -- "$(dirname -- "$candidate")" && echo "$(pwd)/token-host")
}

valid_chrome_id() {
    printf '%s' "$1" | grep -Eqx '[a-p]{32}'
}

valid_firefox_id() {
    printf '%s' "$1" | grep -Eqx '[A-Za-z0-9._+-]*@[A-Za-z0-9.-]+|\{[0-9A-Fa-f]{8}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{4}-[0-9A-Fa-f]{12}\}'
}

# The path goes into JSON and into a sed replacement: refuse what either would
# need escaped rather than risk a manifest pointing somewhere else.
valid_host_path() {
    case "$1" in
        /*) ;;
        *) return 1 ;;
    esac
    printf '%s' "$1" | LC_ALL=C grep -Eqx '[A-Za-z0-9/._+ -]+'
}

# Comma-separated JSON strings, one per word of $2, each wrapped as $1 says.
json_list() {
    format=$1
    shift
    list=""
    for item in "$@"; do
        # shellcheck disable=SC2059
        entry=$(printf "$format" "$item")
        list="${list:+$list, }\"$entry\""
    done
    echo "$list"
}

write_manifest() {
    template=$1 dir=$2 allowed=$3
    mkdir -p "$dir"
    target="$dir/$NATIVE_HOST_NAME.json"
    temp="$target.tmp.$$"
    sed -e "s|@NATIVE_HOST_NAME@|$NATIVE_HOST_NAME|" \
        -e "s|@NATIVE_HOST_PATH@|$host|" \
        -e "s|@NATIVE_HOST_ALLOWED@|$allowed|" "$template" > "$temp"
    mv -f "$temp" "$target"
    echo "Wrote $target"
}

host=""
chrome_ids=""
firefox_ids=""
browsers=""
uninstall=0
while [ $# -gt 0 ]; do
    case "$1" in
        --host) [ $# -ge 2 ] || die "--host needs a path"; host=$2; shift 2 ;;
        --chrome-id) [ $# -ge 2 ] || die "--chrome-id needs an id"; chrome_ids="$chrome_ids $2"; shift 2 ;;
        --firefox-id) [ $# -ge 2 ] || die "--firefox-id needs an id"; firefox_ids="$firefox_ids $2"; shift 2 ;;
        --browser)
            [ $# -ge 2 ] || die "--browser needs a name"
            case "$2" in chrome|chromium|firefox) ;; *) die "unknown browser: $2" ;; esac
            browsers="$browsers $2"; shift 2 ;;
        --uninstall) uninstall=1; shift ;;
        -h|--help) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
[ -n "$browsers" ] || browsers="chrome chromium firefox"
[ -n "${HOME:-}" ] || die "HOME is not set"

if [ "$uninstall" = 1 ]; then
    for browser in $browsers; do
        target="$(manifest_dir "$browser")/$NATIVE_HOST_NAME.json"
        if [ -e "$target" ]; then
            rm -f "$target"
            echo "Removed $target"
        fi
    done
    exit 0
fi

[ -n "$host" ] || host=$(default_host) || die "no installed token host found beside $0: name it with --host"
valid_host_path "$host" || die "the host path must be absolute and contain only letters, digits, spaces and / . _ + -: $host"
[ -f "$host" ] && [ -x "$host" ] || die "not an executable file: $host"

[ -n "$chrome_ids" ] || chrome_ids=$DEMO_CHROME_ID
[ -n "$firefox_ids" ] || firefox_ids=$DEMO_FIREFOX_ID
for id in $chrome_ids; do valid_chrome_id "$id" || die "not a Chrome extension id: $id"; done
for id in $firefox_ids; do valid_firefox_id "$id" || die "not a Firefox extension id: $id"; done

templates=$(template_dir)
# shellcheck disable=SC2086
chrome_origins=$(json_list 'chrome-extension://%s/' $chrome_ids)
# shellcheck disable=SC2086
firefox_extensions=$(json_list '%s' $firefox_ids)

for browser in $browsers; do
    case "$browser" in
        chrome|chromium) write_manifest "$templates/chromium.json.in" "$(manifest_dir "$browser")" "$chrome_origins" ;;
        firefox) write_manifest "$templates/firefox.json.in" "$(manifest_dir "$browser")" "$firefox_extensions" ;;
    esac
done
