#!/bin/sh
# Checks the dynamic symbol table of libVelmora.so: every function of approach.h and online.h is exported
# under its C++ signature, so are the four std_ parameters and main, and nothing else is
# (no internal helper, no standard-library instance), and that the straightforward path is not
# in it at all.
# Usage: check_exports.sh path/to/libVelmora.so
set -u
lib=${1:?usage: check_exports.sh libVelmora.so}

symbols=$(nm -D --defined-only --demangle "$lib") || { echo "nm failed on $lib"; exit 1; }
[ -n "$symbols" ] || { echo "no defined dynamic symbols in $lib"; exit 1; }

# The demangler spells the typedefs of approach.h out in full.
R='cv::Rect_<float>'
TRACK="std::vector<$R, std::allocator<$R> >"
LIST="std::vector<$TRACK, std::allocator<$TRACK> >"
RUNS="std::vector<eTrackList, std::allocator<eTrackList> >"
DATA="std::vector<$RUNS, std::allocator<$RUNS> >"
INTS='std::vector<int, std::allocator<int> >'
FLOATS='std::vector<float, std::allocator<float> >'

# One line per symbol: the type letters nm may show, a tab, the demangled name.
expected=$(cat <<EOF
T	distance4D_2($R, $R)
T	attraction($R, $R, float)
T	normalizedAttraction($R, $R, float)
T	calculateAttraction($LIST&, $R, int, $INTS, $FLOATS)
T	calculateAttraction($LIST&, $R, int, $INTS, $FLOATS, $FLOATS&)
T	performFusionForFrame($LIST&, int, $INTS, $FLOATS, bool)
T	performFusionForAllFrames($LIST&, $TRACK&, $INTS, $FLOATS, bool)
T	findTrackingRectWithGreatestAttraction($LIST&, int, $INTS, $FLOATS)
T	findTrackingRectWithGreatestAttraction($LIST&, int, $INTS, $FLOATS, $FLOATS&)
T	gradient_ascent($R&, $LIST&, int, $INTS, $FLOATS)
T	performFusionForAllFrames_TrajectoryOptimization($LIST&, $TRACK&, $INTS, $FLOATS, bool, bool)
T	evaluate($TRACK, $TRACK, int, float, bool)
T	attraction($TRACK, $TRACK, int, int)
T	evaluate($DATA&, $LIST&, bool, $INTS, $FLOATS)
T	calculateTrackerWeights($DATA&, $LIST&)
T	globalRemoval($DATA&, $LIST&, $FLOATS, bool)
T	calculateTrackerPerformances($LIST&, $INTS, $FLOATS)
T	localRemoval($LIST&, $INTS, $FLOATS)
T	currentParameters()
T	OnlineFuser::OnlineFuser(int, $INTS, $FLOATS, OnlineMode, int, bool, FusionParameters)
T	OnlineFuser::OnlineFuser(OnlineFuser&&)
T	OnlineFuser::~OnlineFuser()
T	OnlineFuser::operator=(OnlineFuser&&)
T	OnlineFuser::push($TRACK const&)
T	OnlineFuser::finish()
T	OnlineFuser::pushed() const
T	OnlineFuser::pending() const
T	OnlineFuser::finished() const
T	OnlineFuser::trackerCount() const
T	OnlineFuser::mode() const
T	OnlineFuser::lag() const
DB	std_alpha
DB	std_beta
DB	std_gamma
DB	std_sigma
T	main
EOF
)

# The demangler closes nested templates with "> >".
expected=$(printf '%s\n' "$expected" | sed 's/>>/> >/g; s/>>/> >/g')

# "address type name" -> "type<TAB>name" (the name may contain spaces).
actual=$(printf '%s\n' "$symbols" | sed -n 's/^[0-9a-fA-F]* \([A-Za-z]\) \(.*\)$/\1\t\2/p')

status=0
tab=$(printf '\t')
while IFS="$tab" read -r types name; do
    # Constructors and destructors come twice (complete and base object), under one name.
    found=$(printf '%s\n' "$actual" | awk -F "$tab" -v n="$name" '$2 == n { print $1 }' | sort -u | tr -d '\n')
    if [ -z "$found" ]; then
        echo "missing: $name"
        status=1
    else
        case "$types" in
            *"$found"*) ;;
            *) echo "wrong symbol type $found (expected one of $types): $name"; status=1 ;;
        esac
    fi
done <<EOF
$expected
EOF

while IFS="$tab" read -r type name; do
    printf '%s\n' "$expected" | awk -F "$tab" -v n="$name" '$2 == n { found = 1 } END { exit !found }' ||
        { echo "unexpected export: $type $name"; status=1; }
done <<EOF
$actual
EOF

# The straightforward path is test support, linked by the tests and the benchmark only: not
# even a local symbol of it may be in the library (nor, so, in what links it, the extension).
if nm --demangle "$lib" 2>/dev/null | grep -q 'velmora::reference::'; then
    echo "the library holds the straightforward path (velmora::reference)"
    status=1
fi

count=$(printf '%s\n' "$expected" | wc -l)
[ "$status" -eq 0 ] && echo "all $count public symbols exported, nothing else"
exit "$status"
