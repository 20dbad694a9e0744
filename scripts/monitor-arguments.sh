# Sourced by run.sh (and its test): the arguments of `tallowin-cli monitor` for the arguments
# given to the script. Options join the default folder "." unless the arguments name a folder
# or a device themselves (a word that is neither an option nor the value of one).
#   with_default_folder "$@"; then "${monitor_arguments[@]}"
with_default_folder() {
    local has_target=false expects_value=false argument
    for argument in "$@"; do
        if $expects_value; then
            expects_value=false
        elif [[ $argument == --device || $argument == --device=* ]]; then
            has_target=true
            [[ $argument == --device ]] && expects_value=true
        elif [[ $argument == --interval || $argument == --duration ]]; then
            expects_value=true
        elif [[ $argument != -* ]]; then
            has_target=true
        fi
    done
    if $has_target; then
        monitor_arguments=("$@")
    else
        monitor_arguments=(. "$@")
    fi
}
