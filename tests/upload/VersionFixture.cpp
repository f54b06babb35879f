// An executable that only carries a version block, for the version reader's tests.
int main()
{
    return 0;
}
