# Writes child.qv: a report of many stages, so that its file takes a while to write, driven
# through two stages; the script then ends with the report still open.
{
    echo '^(define p ([Progressive description="copy" attach-file="p.txt"]))'
    echo '^([Stage prog="1" status="define" description="read"])'
    echo '^([Stage prog="1" status="define" description="write"])'
    i=0
    while [ $i -lt 3000 ]; do
        echo '^([Stage prog="1" status="define"])'
        i=$((i + 1))
    done
    echo '^([Stage prog="1" status="invoke" stage="1" total-jobs="4"])'
    echo '^([Stage prog="1" status="set" finished-jobs="4"])'
    echo '^([Stage prog="1" status="invoke" stage="2" total-jobs="2"])'
    echo '^([Stage prog="1" status="set" message="last"])'
} >child.qv
