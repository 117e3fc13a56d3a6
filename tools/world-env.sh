# Sourced (sh) by the scripts that start wine programs: under `./run.sh test`
# each program runs in the world of the ctest slot it was given (ctest's
# resource allocation sets CTEST_RESOURCE_GROUP_0_WORLD to "id:K,slots:1"),
# so that no two programs at once share a wineserver, a display or a rig.
# Outside the suite (COMRELAY_WORLDS unset) the environment stays as it is.
if [ -n "${COMRELAY_WORLDS:-}" ]; then
    case ${CTEST_RESOURCE_GROUP_0_WORLD:-} in
    id:*)
        world_id=${CTEST_RESOURCE_GROUP_0_WORLD#id:}
        world_id=${world_id%%,*}
        if [ ! -f "$COMRELAY_WORLDS/$world_id.env" ]; then
            echo "world-env: no world $world_id in $COMRELAY_WORLDS" >&2
            exit 1
        fi
        . "$COMRELAY_WORLDS/$world_id.env"
        ;;
    *)
        # A program outside every slot would share a world with another.
        echo "world-env: this test has no world (RESOURCE_GROUPS world:1)" >&2
        exit 1
        ;;
    esac
fi
