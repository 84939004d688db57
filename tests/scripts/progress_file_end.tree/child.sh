# Writes child.qv: a report with stages of long descriptions, so that its file takes a while to
# write, driven through two stages; the script then ends with the report still open.
long=$(head -c 60000 /dev/zero | tr '\0' x)
{
    echo '^(define p ([Progressive description="copy" attach-file="p.txt"]))'
    echo '^([Stage prog="1" status="define" description="read"])'
    echo '^([Stage prog="1" status="define" description="write"])'
    for i in 1 2 3 4; do
        echo "^([Stage prog=\"1\" status=\"define\" description=\"$long\"])"
    done
    echo '^([Stage prog="1" status="invoke" stage="1" total-jobs="4"])'
    echo '^([Stage prog="1" status="set" finished-jobs="4"])'
    echo '^([Stage prog="1" status="invoke" stage="2" total-jobs="2"])'
    echo '^([Stage prog="1" status="set" message="last"])'
} >child.qv
